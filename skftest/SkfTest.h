/* skftest: the console program that exercises the SKF interface end to end,
 * in a fixed sequence or through a menu of module tests.
 *
 * Output: before each call "%s......" with the call's name, after it
 * "Passed" or "Failed(errcode: 0x%08X)" with the SAR code; a test that fails
 * as a whole prints "%s errcode: 0x%08X" with its label. */
#ifndef BRIO_SKFTEST_SKF_TEST_H
#define BRIO_SKFTEST_SKF_TEST_H

#include "skf/skf.h"

/* The PIN buffer: a password has at most 31 characters. */
#define SKFTEST_PIN_BUFFER 32u
/* Largest size a size query may report. */
#define SKFTEST_MAX_BUFFER 0xA00000u

#define SKFTEST_FILE_NAME "TEST_SEAL_FILE"
#define SKFTEST_SM2_CONTAINER "TEST_CTNR_SM2"
#define SKFTEST_RSA_CONTAINER "TEST_CTNR_RSA"
#define SKFTEST_USER_ID "1234567812345678"
#define SKFTEST_DIGEST_MESSAGE "SuperAdmin"

/* The user PIN the program uses: the default (the middleware's placeholder,
 * which brings up the PIN prompt) unless "password" replaced it. */
extern char g_szUserPin[SKFTEST_PIN_BUFFER];

/* "%s......" before a call; its result after it; the result is returned. */
void Announce(const char *pszCall);
ULONG Report(ULONG ulResult);
/* Announce and report a failure found by the program itself. */
ULONG ReportFailure(const char *pszWhat, ULONG ulCode);
/* "%s errcode: 0x%08X" for a test that failed as a whole. */
void ReportTest(const char *pszLabel, ULONG ulCode);
/* The size rule: 1 to SKFTEST_MAX_BUFFER (87 otherwise, traced); a new
 * zero-filled buffer of that size in *ppbBuffer. */
ULONG NewCheckedBuffer(const char *pszTest, ULONG ulSize, BYTE **ppbBuffer);

/* Standard input's terminal modes while the program changes them: only the
 * main thread changes them.  The modes the terminal had are kept at the
 * first change and restored by RestoreTerminal, or by RestoreStandardInput
 * from a signal handler on the main thread. */
/* Clears the local-mode flags (ICANON, ECHO) of standard input's terminal;
 * true when this call made the first change, so its caller restores. */
bool ClearTerminalModes(unsigned int ulFlags);
void RestoreTerminal(void);
/* For a program that ends on a signal: only async-signal-safe calls, and
 * no change of the modes follows. */
void RestoreStandardInput(void);
/* For a program that stops (Ctrl+Z): the terminal's own modes while it is
 * stopped; ApplyModesAgain sets the program's again once it goes on in the
 * foreground (the shell set its own meanwhile).  Async-signal-safe. */
void RestoreModesForStop(void);
void ApplyModesAgain(void);

/* Reads one key from standard input and drops the rest of its line; end of
 * input gives cEndOfInput. */
int ReadMenuKey(int cEndOfInput);
/* Reads a line of at most SKFTEST_PIN_BUFFER - 1 characters without its
 * line feed; false at end of input.  A longer line is refused (false).  On
 * a terminal the line is typed without echo. */
bool ReadPinLine(const char *pszPrompt, char *pszPin);

ULONG TEST_DEVICE(DEVHANDLE *phDev);
ULONG TEST_FILE(HAPPLICATION hApp);
ULONG TEST_PIN(HAPPLICATION hApp);
ULONG TEST_SM2(HAPPLICATION hApp, bool bFind);
ULONG TEST_RSA(HAPPLICATION hApp, bool bFind);
ULONG TEST_Digest(DEVHANDLE hDev);
ULONG TEST_CONTAINER(HAPPLICATION hApp);
ULONG TEST_MENU(HAPPLICATION hApp);

/* SM4-ECB of whole 16-byte blocks under the test session key.  The exported
 * software SM4 chains the blocks of one run, so each block is a run of its
 * own (one block under a zero IV is its ECB block). */
ULONG EncryptUnderSessionKey(const BYTE *pbIn, ULONG ulLen, BYTE *pbOut);
ULONG LOAD_ECC_KEYPAIR(ECCPUBLICKEYBLOB *pTokenPubKey, ENVELOPEDKEYBLOB *pEnvelope);
ULONG LOAD_RSA_KEYPAIR(RSAPUBLICKEYBLOB *pTokenPubKey, BYTE *pbWrappedKey, ULONG *pulWrappedKeyLen,
                       BYTE *pbEncryptedKey, ULONG *pulEncryptedKeyLen);
ULONG LOAD_CERTIFICATE(BYTE *pbCert, ULONG *pulCertLen);
ULONG VERIFY_SM2(ECCPUBLICKEYBLOB *pPubKey, BYTE *pbDigest, ECCSIGNATUREBLOB *pSignature);
ULONG VERIFY_RSA(RSAPUBLICKEYBLOB *pPubKey, ULONG ulHashID, BYTE *pbData, ULONG ulDataLen, BYTE *pbSignature,
                 ULONG ulSignLen);
void ECCPublicKeyReverse(ECCPUBLICKEYBLOB *pPubKey);
void ECCPrivateKeyReverse(ECCPRIVATEKEYBLOB *pPriKey);

/* The device wait, shared by the main thread and the key thread.  The event
 * word comes first, so the thread's argument is also its address. */
struct DEV_WAIT {
    ULONG ulEvent;    /* what SKF_WaitForDevEvent reported */
    int bKeyPressed;  /* the key thread took a key and cancels the wait */
    int bOver;        /* the main thread has left its wait */
    int bInputEnded;  /* the key was the end of standard input */
};

/* 1 if a key is waiting on standard input, or it is at its end (the next
 * read gives EOF at once); else 0.  It only looks: the terminal's modes and
 * the descriptor's flags stay as they are. */
int kbhit(void);
void *ThreadCancelDevEvent(void *pvEvent);

#endif
