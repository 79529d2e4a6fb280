/* Application objects on tokens of bus 23, opened as the device object
 * opens the application: the object on the connection's context, its
 * device information, the container list and the file records loaded, the
 * application named. */
#pragma once

#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "SkfTestToken.h"
#include "skf/ApplicationObject.h"

static const unsigned int APPLICATION_TEST_BUS = 23;
static const char APPLICATION_TEST_NAME[] = "BRIO-APP";

using Bytes = std::vector<unsigned char>;

/* Opens the application on an open connection the way the device object
 * does; 0 or the first failing step's code. */
inline unsigned int OpenApplicationOn(CApplicationObject *pApp)
{
    _QV_DEV_INFO stInfo;
    unsigned int ulSize = 0;
    unsigned int ulRet = pApp->CDeviceOperator::GetDeviceInfo(&stInfo);
    if (ulRet == 0) ulRet = pApp->EnumContainer(nullptr, &ulSize);
    if (ulRet == 0) ulRet = pApp->EnumCosFile(nullptr, &ulSize);
    if (ulRet == 0) pApp->SetApplicationName((char *)APPLICATION_TEST_NAME);
    return ulRet;
}

/* A name list asked for its size first, then read into exactly that room. */
template <typename List>
std::string NameList(List fnList)
{
    unsigned int ulSize = 0;
    EXPECT_EQ(0u, fnList(nullptr, &ulSize));
    std::string list(ulSize, '\x7f');
    EXPECT_EQ(0u, fnList(&list[0], &ulSize));
    EXPECT_EQ(list.size(), ulSize);
    return list;
}

class ApplicationTest : public SkfTokenTest {
protected:
    ApplicationTest() : SkfTokenTest(APPLICATION_TEST_BUS) {}
    ~ApplicationTest() override { m_vApps.clear(); }

    /* A token at ulAddr, opened (the user PIN verified when bVerify), and
     * its application object. */
    CApplicationObject *OpenApp(unsigned int ulAddr, bool bVerify = true)
    {
        OpenToken(ulAddr, 0x13, bVerify);
        return NewApp();
    }

    /* A further application object on the same connection. */
    CApplicationObject *NewApp()
    {
        m_vApps.emplace_back(new CApplicationObject(Context()));
        EXPECT_EQ(0u, OpenApplicationOn(m_vApps.back().get()));
        return m_vApps.back().get();
    }

    /* The whole token file through the raw operator; empty when missing. */
    Bytes RawFile(unsigned short usFileID)
    {
        uint32_t ulSize = 0;
        if (Operator()->GetCosFileInfo(usFileID, 0, sizeof(ulSize), (unsigned char *)&ulSize) != 0) return Bytes();
        Bytes v(ulSize);
        unsigned int ulLen = ulSize;
        EXPECT_EQ(0u, Operator()->ReadCosFile(0, usFileID, v.data(), &ulLen));
        return v;
    }

    /* A token file of exactly these bytes (made again when it exists). */
    void PutRawFile(unsigned short usFileID, const Bytes &v)
    {
        Operator()->DeleteCosFile(usFileID);
        ASSERT_EQ(0u, Operator()->CreateCosFile(usFileID, (unsigned short)v.size()));
        ASSERT_EQ(0u, Operator()->WriteCosFile(0, usFileID, (unsigned char *)v.data(), (unsigned int)v.size()));
    }

private:
    std::vector<std::unique_ptr<CApplicationObject>> m_vApps;
};
