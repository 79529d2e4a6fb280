/* The dialog glue's fixture: a token on bus 20 and a CDialogObject on its
 * connection; operations run under the device mutex, as the SKF functions
 * run them. */
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "skf/DialogObject.h"
#include "skf/tests/SkfTestToken.h"

#define DIALOG_TEST_BUS 20u
#define DIALOG_USER_PIN "12345678"

class DialogTokenTest : public SkfTokenTest {
protected:
    DialogTokenTest() : SkfTokenTest(DIALOG_TEST_BUS) {}
    ~DialogTokenTest() override { m_pObject.reset(); }

    /* A token at ulAddr, opened, with the object under test on its connection. */
    CDialogObject *Open(unsigned int ulAddr)
    {
        m_ulAddr = ulAddr;
        OpenToken(ulAddr);
        m_pObject.reset(new CDialogObject(Context()));
        return m_pObject.get();
    }

    template <class F>
    unsigned int UnderMutex(F fn)
    {
        EXPECT_EQ(0u, Context()->WaitDevMutex());
        unsigned int ulRet = fn();
        Context()->ReleaseDevMutex();
        return ulRet;
    }

    std::string Field(const char *pszKey) { return daemon.StateField(TokenSerial(), pszKey); }
    unsigned int RetriesLeft() { return daemon.UserRetriesLeft(TokenSerial()); }
    unsigned int AuthCodeLen() { return Context()->GetDeviceHandle()->m_ulAuthCodeLen; }

    /* Wrong PINs until no retry is left. */
    void LockUserPin()
    {
        while (RetriesLeft() > 0) {
            ASSERT_NE(0u, VerifyUserPin("00000000"));
        }
    }

    CDialogObject *Object() const { return m_pObject.get(); }

    unsigned int m_ulAddr = 0;

private:
    std::unique_ptr<CDialogObject> m_pObject;
};
