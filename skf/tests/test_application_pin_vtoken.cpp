/* The application object's PIN policy and containers against the virtual
 * token (user and administrator PIN "12345678", 10 tries each). */
#include "ApplicationTestToken.h"

#include "skf/ContainerObject.h"
#include "skf/tests/SessionBus.h"

static const unsigned int UNTOUCHED = 99;

/* The placeholder user PIN of the middleware. */
static std::string PlaceholderPin()
{
    return std::string("\x06\x15") + "73914028";
}

/* A PIN in a heap block of exactly its length and terminator, so that a
 * read beyond it shows under the address sanitizer. */
static std::unique_ptr<char[]> ExactPin(const std::string &pin)
{
    std::unique_ptr<char[]> p(new char[pin.size() + 1]);
    memcpy(p.get(), pin.c_str(), pin.size() + 1);
    return p;
}

/* ---- VerifyPIN ---- */

TEST_F(ApplicationTest, VerifyPinLengthsAndTypes)
{
    CApplicationObject *pApp = OpenApp(1, false);
    struct Case {
        unsigned int ulType;
        std::string pin;
        unsigned int ulExpected;
        unsigned int ulRetries;  /* what the call leaves in the count */
    } cases[] = {
        {1, "12345678", 0, UNTOUCHED},
        {0, "12345678", 0, UNTOUCHED},
        {1, "12345", SAR_INDATALENERR, UNTOUCHED},
        {1, "12345678901234567", SAR_INDATALENERR, UNTOUCHED},
        {1, "", SAR_INDATALENERR, UNTOUCHED},
        /* The beginning of the placeholder is an ordinary (short) PIN. */
        {1, PlaceholderPin().substr(0, 5), SAR_INDATALENERR, UNTOUCHED},
        {1, PlaceholderPin().substr(0, 9), SAR_PIN_INCORRECT, 9},
        {1, "12345678", 0, UNTOUCHED},
        /* As the administrator PIN the placeholder is verified like any
         * 10-character PIN: a wrong one. */
        {0, PlaceholderPin(), SAR_PIN_INCORRECT, 9},
        {0, "12345678", 0, UNTOUCHED},
        {1, "1234567890123456", SAR_PIN_INCORRECT, 9},
        {1, "12345678", 0, UNTOUCHED},
    };
    for (const Case &c : cases) {
        std::unique_ptr<char[]> pin = ExactPin(c.pin);
        unsigned int ulRetries = UNTOUCHED;
        EXPECT_EQ(c.ulExpected, pApp->VerifyPIN(c.ulType, pin.get(), &ulRetries)) << c.ulType << " " << c.pin.size();
        EXPECT_EQ(c.ulRetries, ulRetries) << c.ulType << " " << c.pin.size();
    }
    unsigned int ulRetries = UNTOUCHED;
    EXPECT_EQ((unsigned int)SAR_INVALIDPARAMERR, pApp->VerifyPIN(1, nullptr, &ulRetries));
    EXPECT_EQ((unsigned int)SAR_INVALIDPARAMERR, pApp->VerifyPIN(1, (char *)"12345678", nullptr));
    EXPECT_EQ(10u, daemon.UserRetriesLeft(TokenSerial()));
    EXPECT_EQ(10u, daemon.SoRetriesLeft(TokenSerial()));
}

/* Only the administrator and the user PIN are types: any other is refused
 * before the token hears of it, whatever its low byte. */
TEST_F(ApplicationTest, OtherPinTypesAreRefusedBeforeTheToken)
{
    CApplicationObject *pApp = OpenApp(11, false);
    for (unsigned int ulType : {2u, 0x101u, 0x7FFFFFFFu}) {
        unsigned int ulRetries = UNTOUCHED, ulMax = UNTOUCHED, ulRemain = UNTOUCHED;
        bool bDefault = false;
        EXPECT_EQ((unsigned int)SAR_USER_TYPE_INVALID, pApp->VerifyPIN(ulType, (char *)"87654321", &ulRetries))
            << ulType;
        EXPECT_EQ((unsigned int)SAR_USER_TYPE_INVALID, pApp->VerifyPIN(ulType, (char *)"12345678", &ulRetries))
            << ulType;
        EXPECT_EQ((unsigned int)SAR_USER_TYPE_INVALID,
                  pApp->ChangePIN(ulType, (char *)"12345678", (char *)"abc12345", &ulRetries))
            << ulType;
        EXPECT_EQ((unsigned int)SAR_USER_TYPE_INVALID, pApp->GetPINStatus(ulType, &ulMax, &ulRemain, &bDefault))
            << ulType;
        EXPECT_EQ(UNTOUCHED, ulRetries);
        EXPECT_EQ(UNTOUCHED, ulMax);
        EXPECT_EQ(UNTOUCHED, ulRemain);
    }
    EXPECT_EQ(10u, daemon.UserRetriesLeft(TokenSerial()));
    EXPECT_EQ(10u, daemon.SoRetriesLeft(TokenSerial()));
    void *hContainer = nullptr;
    EXPECT_EQ(0x80006982u, pApp->CreateContainer((char *)"c", &hContainer)) << "no PIN was verified";
    unsigned int ulRetries = UNTOUCHED;
    EXPECT_EQ(0u, pApp->VerifyPIN(USER_TYPE, (char *)"12345678", &ulRetries)) << "the user PIN is unchanged";
}

TEST_F(ApplicationTest, WrongUserPinCountsDownToTheLock)
{
    CApplicationObject *pApp = OpenApp(2, false);
    for (unsigned int ulLeft = 9;; --ulLeft) {
        unsigned int ulRetries = UNTOUCHED;
        unsigned int ulRet = pApp->VerifyPIN(1, (char *)"87654321", &ulRetries);
        EXPECT_EQ(ulLeft, ulRetries);
        if (ulLeft == 0) {
            EXPECT_EQ((unsigned int)SAR_PIN_LOCKED, ulRet);
            break;
        }
        EXPECT_EQ((unsigned int)SAR_PIN_INCORRECT, ulRet) << ulLeft;
    }
    /* Locked: the token's own code reaches the SKF edge unchanged, the count
     * is left alone, and the right PIN does not open it. */
    unsigned int ulRetries = UNTOUCHED;
    EXPECT_EQ(0x80006983u, pApp->VerifyPIN(1, (char *)"12345678", &ulRetries));
    EXPECT_EQ(UNTOUCHED, ulRetries);
    unsigned int ulMax = 0, ulRemain = UNTOUCHED;
    EXPECT_EQ(0u, pApp->GetPINStatus(1, &ulMax, &ulRemain, nullptr));
    EXPECT_EQ(10u, ulMax);
    EXPECT_EQ(0u, ulRemain);
}

TEST_F(ApplicationTest, PlaceholderUserPinNeverReachesTheTokenAsAPin)
{
    CApplicationObject *pApp = OpenApp(3, false);
    std::unique_ptr<char[]> pin = ExactPin(PlaceholderPin());
    unsigned int ulRetries = UNTOUCHED;
    /* Without a display there is nobody to ask: it fails, and no try is used. */
    EXPECT_NE(0u, pApp->VerifyPIN(1, pin.get(), &ulRetries));
    EXPECT_EQ(10u, daemon.UserRetriesLeft(TokenSerial()));
    /* With no try left the answer comes before any prompt. */
    while (daemon.UserRetriesLeft(TokenSerial()) > 0) ASSERT_NE(0u, VerifyUserPin("00000000"));
    EXPECT_EQ((unsigned int)SAR_PIN_LOCKED, pApp->VerifyPIN(1, pin.get(), &ulRetries));
    EXPECT_EQ(UNTOUCHED, ulRetries);
}

/* ---- ChangePIN and the PIN status ---- */

TEST_F(ApplicationTest, ChangePinStrengthRule)
{
    CApplicationObject *pApp = OpenApp(4, false);
    struct Case {
        std::string newPin;
        unsigned int ulExpected;
    } cases[] = {
        {"12345678", SAR_PIN_INVALID},          /* the old PIN again */
        {"87654321", SAR_PIN_INVALID},          /* digits only */
        {"abcdefgh", SAR_PIN_INVALID},          /* letters only */
        {"!#$%&()*", SAR_PIN_INVALID},          /* punctuation only */
        {"abc 1234", SAR_PIN_INVALID},          /* a space */
        {"abc\t1234", SAR_PIN_INVALID},         /* a control character */
        {"abc\x7f" "1234", SAR_PIN_INVALID},    /* DEL */
        {"abc\xc3\xa9" "1234", SAR_PIN_INVALID}, /* beyond ASCII */
        {"abc1234d", 0},                        /* letters and digits */
        {"abc!def?", 0},                        /* letters and punctuation */
        /* Only the first 16 characters are examined. */
        {"abcd1234efgh5678 ", 0},
        {"1234[]{}", 0},                        /* digits and punctuation */
    };
    std::string current = "12345678";
    for (const Case &c : cases) {
        unsigned int ulRetries = UNTOUCHED;
        EXPECT_EQ(c.ulExpected, pApp->ChangePIN(1, (char *)current.c_str(), (char *)c.newPin.c_str(), &ulRetries))
            << c.newPin;
        EXPECT_EQ(UNTOUCHED, ulRetries);
        if (c.ulExpected == 0) current = c.newPin;
    }
    unsigned int ulRetries = UNTOUCHED;
    EXPECT_EQ(0u, pApp->VerifyPIN(1, (char *)current.c_str(), &ulRetries));
    bool bDefault = true;
    EXPECT_EQ(0u, pApp->GetPINStatus(1, nullptr, nullptr, &bDefault));
    EXPECT_FALSE(bDefault);
}

TEST_F(ApplicationTest, ChangePinWithAWrongOldPinReportsTheRetries)
{
    CApplicationObject *pApp = OpenApp(5, false);
    unsigned int ulRetries = UNTOUCHED;
    EXPECT_EQ((unsigned int)SAR_PIN_INCORRECT, pApp->ChangePIN(1, (char *)"00000000", (char *)"abc12345", &ulRetries));
    EXPECT_EQ(9u, ulRetries);
    /* A PIN longer than its length byte would reach the token cut short. */
    std::string longPin(256, 'a');
    longPin[0] = '1';
    ulRetries = UNTOUCHED;
    EXPECT_EQ((unsigned int)SAR_PIN_LEN_RANGE, pApp->ChangePIN(1, (char *)"12345678", (char *)longPin.c_str(),
                                                               &ulRetries));
    EXPECT_EQ(9u, daemon.UserRetriesLeft(TokenSerial()));
    EXPECT_EQ((unsigned int)SAR_INVALIDPARAMERR, pApp->ChangePIN(1, nullptr, (char *)"abc12345", &ulRetries));
    EXPECT_EQ((unsigned int)SAR_INVALIDPARAMERR, pApp->ChangePIN(1, (char *)"12345678", nullptr, &ulRetries));
    EXPECT_EQ((unsigned int)SAR_NOTSUPPORTYETERR, pApp->UnlockPIN((char *)"12345678", (char *)"abc12345", &ulRetries));
}

TEST_F(ApplicationTest, PinStatusAndClearedAuthorisation)
{
    CApplicationObject *pApp = OpenApp(6, true);
    unsigned int ulMax = 0, ulRemain = 0;
    bool bDefault = false;
    ASSERT_EQ(0u, pApp->GetPINStatus(1, &ulMax, &ulRemain, &bDefault));
    EXPECT_EQ(10u, ulMax);
    EXPECT_EQ(10u, ulRemain);
    EXPECT_TRUE(bDefault);

    void *hContainer = nullptr;
    ASSERT_EQ(0u, pApp->CreateContainer((char *)"before", &hContainer));
    delete static_cast<CContainerObject *>(hContainer);
    ASSERT_EQ(0u, pApp->ClearAuthCode());
    hContainer = nullptr;
    EXPECT_EQ(0x80006982u, pApp->CreateContainer((char *)"after", &hContainer));
    EXPECT_EQ(nullptr, hContainer);
}

/* ---- containers ---- */

static std::string ContainerList(CApplicationObject *pApp)
{
    return NameList([pApp](char *psz, unsigned int *pulSize) { return pApp->EnumContainer(psz, pulSize); });
}

TEST_F(ApplicationTest, SingleCertificateSuffixOnlyWhenCreating)
{
    CApplicationObject *pApp = OpenApp(7);
    void *hContainer = nullptr;
    ASSERT_EQ(0u, pApp->CreateContainer((char *)"sign#2", &hContainer));
    std::unique_ptr<CContainerObject> created(static_cast<CContainerObject *>(hContainer));
    EXPECT_STREQ("sign", created->GetContainerName());
    EXPECT_TRUE(created->IsSingleCert());
    EXPECT_EQ(std::string("sign\0\0", 6), ContainerList(pApp));

    hContainer = nullptr;
    ASSERT_EQ(0u, pApp->OpenContainer((char *)"sign#2", &hContainer));
    std::unique_ptr<CContainerObject> opened(static_cast<CContainerObject *>(hContainer));
    EXPECT_STREQ("sign", opened->GetContainerName());
    EXPECT_FALSE(opened->IsSingleCert());

    hContainer = nullptr;
    ASSERT_EQ(0u, pApp->CreateContainer((char *)"plain", &hContainer));
    std::unique_ptr<CContainerObject> plain(static_cast<CContainerObject *>(hContainer));
    EXPECT_FALSE(plain->IsSingleCert());
    /* "#2" alone is an empty name, which the token refuses. */
    hContainer = nullptr;
    EXPECT_NE(0u, pApp->CreateContainer((char *)"#2", &hContainer));
    EXPECT_EQ(nullptr, hContainer);

    ASSERT_EQ(0u, pApp->DeleteContainer((char *)"sign#2"));
    EXPECT_EQ(std::string("plain\0\0", 7), ContainerList(pApp));
}

TEST_F(ApplicationTest, ContainerListSizes)
{
    CApplicationObject *pApp = OpenApp(8);
    unsigned int ulSize = 77;
    EXPECT_EQ(0u, pApp->EnumContainer(nullptr, &ulSize));
    EXPECT_EQ(0u, ulSize);
    char szList[64];
    ulSize = sizeof(szList);
    EXPECT_EQ(0u, pApp->EnumContainer(szList, &ulSize));
    EXPECT_EQ(0u, ulSize);

    for (const char *pszName : {"a", "bc"}) {
        void *hContainer = nullptr;
        ASSERT_EQ(0u, pApp->CreateContainer((char *)pszName, &hContainer));
        delete static_cast<CContainerObject *>(hContainer);
    }
    ulSize = 0;
    EXPECT_EQ(0u, pApp->EnumContainer(nullptr, &ulSize));
    EXPECT_EQ(6u, ulSize);
    memset(szList, 0x7f, sizeof(szList));
    ulSize = 5;
    EXPECT_EQ((unsigned int)SAR_BUFFER_TOO_SMALL, pApp->EnumContainer(szList, &ulSize));
    EXPECT_EQ(6u, ulSize);
    EXPECT_EQ(0x7f, szList[0]);
    ulSize = sizeof(szList);
    EXPECT_EQ(0u, pApp->EnumContainer(szList, &ulSize));
    EXPECT_EQ(6u, ulSize);
    EXPECT_EQ(0, memcmp("a\0bc\0\0", szList, 6));
    EXPECT_EQ((unsigned int)SAR_INVALIDPARAMERR, pApp->EnumContainer(szList, nullptr));
}

TEST_F(ApplicationTest, OpeningFailsWithoutHandingOutAnObject)
{
    CApplicationObject *pApp = OpenApp(9);
    std::string longest(CONTAINER_NAME_MAX, 'n');
    void *hContainer = nullptr;
    ASSERT_EQ(0u, pApp->CreateContainer((char *)longest.c_str(), &hContainer));
    std::unique_ptr<CContainerObject> created(static_cast<CContainerObject *>(hContainer));
    EXPECT_EQ(longest, created->GetContainerName());

    struct Case {
        std::string name;
        unsigned int ulExpected;
    } cases[] = {
        {"missing", 0x80006A88u},
        /* One character more is not a container name, and must not open the
         * container its first 39 characters name. */
        {longest + "x", ERR_BAD_LENGTH},
        {longest + "xy#2", ERR_BAD_LENGTH},
    };
    for (const Case &c : cases) {
        void *hOpened = (void *)0x1;
        std::unique_ptr<char[]> name = ExactPin(c.name);
        EXPECT_EQ(c.ulExpected, pApp->OpenContainer(name.get(), &hOpened)) << c.name;
        EXPECT_EQ((void *)0x1, hOpened) << c.name;
    }
    EXPECT_EQ((unsigned int)SAR_INVALIDPARAMERR, pApp->OpenContainer(nullptr, &hContainer));
    EXPECT_EQ((unsigned int)SAR_INVALIDPARAMERR, pApp->CreateContainer(nullptr, &hContainer));
    EXPECT_EQ((unsigned int)SAR_INVALIDPARAMERR, pApp->DeleteContainer(nullptr));
}

TEST_F(ApplicationTest, DeletedContainerIsGoneAndSignalled)
{
    CApplicationObject *pApp = OpenApp(10);
    skf_test::CPrivateSessionBus bus;
    ASSERT_TRUE(bus.Running());
    skf_test::CReloadDeviceListener listener(bus.Address());
    ASSERT_TRUE(listener.Connected());
    void *hContainer = nullptr;
    ASSERT_EQ(0u, pApp->CreateContainer((char *)"gone", &hContainer));
    delete static_cast<CContainerObject *>(hContainer);
    ASSERT_EQ(0u, pApp->DeleteContainer((char *)"gone"));
    EXPECT_EQ(std::vector<std::string>{TokenSerial()}, listener.WaitForSignals(1));
    EXPECT_EQ(std::string(), ContainerList(pApp));
    hContainer = nullptr;
    EXPECT_NE(0u, pApp->OpenContainer((char *)"gone", &hContainer));
    /* A deletion that failed sends nothing. */
    EXPECT_NE(0u, pApp->DeleteContainer((char *)"gone"));
    EXPECT_EQ(std::vector<std::string>{TokenSerial()}, listener.Settle());
}

TEST(ApplicationNames, SingleCertificateSuffixIsStripped)
{
    struct Case {
        const char *pszName;
        const char *pszStripped;
        bool bSingle;
    } cases[] = {
        {"sign#2", "sign", true}, {"#2", "", true},       {"sign#3", "sign#3", false},
        {"2", "2", false},        {"", "", false},        {"a#2#2", "a#2", true},
    };
    for (const Case &c : cases) {
        bool bSingle = !c.bSingle;
        std::unique_ptr<char[]> stripped(CApplicationObject::NewContainerName((char *)c.pszName, &bSingle));
        ASSERT_NE(nullptr, stripped.get());
        EXPECT_STREQ(c.pszStripped, stripped.get()) << c.pszName;
        EXPECT_EQ(c.bSingle, bSingle) << c.pszName;
    }
}
