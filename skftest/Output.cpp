/* skftest's output conventions and its reading of standard input. */
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include "log/vexa_log.h"
#include "skftest/SkfTest.h"

/* ---- Output ---- */

void Announce(const char *pszCall)
{
    printf("%s......", pszCall);
    fflush(stdout);
}

ULONG Report(ULONG ulResult)
{
    if (ulResult == SAR_OK) printf("Passed\r\n");
    else printf("Failed(errcode: 0x%08X)\r\n", (unsigned int)ulResult);
    fflush(stdout);
    return ulResult;
}

ULONG ReportFailure(const char *pszWhat, ULONG ulCode)
{
    Announce(pszWhat);
    return Report(ulCode);
}

void ReportTest(const char *pszLabel, ULONG ulCode)
{
    printf("%s errcode: 0x%08X\r\n", pszLabel, (unsigned int)ulCode);
    fflush(stdout);
}

ULONG NewCheckedBuffer(const char *pszTest, ULONG ulSize, BYTE **ppbBuffer)
{
    *ppbBuffer = nullptr;
    if (ulSize < 1 || ulSize > SKFTEST_MAX_BUFFER) {
        TRACE(LOG_LEVEL_ERROR, "%s - %s failed(0x%08lx)[%s:%d]", pszTest, "Check buffer size", 87ul, __FILE__,
              __LINE__);
        return 87;
    }
    TRACE(LOG_LEVEL_INFO, "%s - %s success", pszTest, "Check buffer size");
    *ppbBuffer = (BYTE *)calloc(1, ulSize);
    if (*ppbBuffer == nullptr) return SAR_MEMORYERR;
    TRACE(LOG_LEVEL_INFO, "%s - %s success", pszTest, "New buffer");
    return SAR_OK;
}

/* ---- Standard input's modes ---- */

static struct termios g_stSavedTermios;
static volatile sig_atomic_t g_bTermiosChanged = 0;
static volatile sig_atomic_t g_nSavedFlags = -1;
/* Set once the program ends on a signal: no thread changes the modes again. */
static volatile sig_atomic_t g_bEnding = 0;

bool ClearTerminalModes(unsigned int ulFlags)
{
    struct termios stModes;
    if (g_bEnding || tcgetattr(STDIN_FILENO, &stModes) != 0) return false;  /* no terminal */
    /* Already off (the device wait keeps them off for its key thread):
     * nothing is set that could undo a restore running meanwhile. */
    if ((stModes.c_lflag & (tcflag_t)ulFlags) == 0) return false;
    bool bFirst = !g_bTermiosChanged;
    if (bFirst) {
        g_stSavedTermios = stModes;
        /* Marked before the change, so that a signal between the two still
         * finds the modes to restore. */
        g_bTermiosChanged = 1;
    }
    stModes.c_lflag &= ~(tcflag_t)ulFlags;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &stModes) != 0 && bFirst) {
        g_bTermiosChanged = 0;
        return false;
    }
    return bFirst;
}

void RestoreTerminal(void)
{
    if (g_bTermiosChanged) {
        tcsetattr(STDIN_FILENO, TCSANOW, &g_stSavedTermios);
        g_bTermiosChanged = 0;
    }
}

void SetInputNonBlocking(void)
{
    int nFlags = fcntl(STDIN_FILENO, F_GETFL, 0);
    if (nFlags == -1) return;
    g_nSavedFlags = nFlags;
    fcntl(STDIN_FILENO, F_SETFL, nFlags | O_NONBLOCK);
}

void RestoreInputFlags(void)
{
    if (g_nSavedFlags != -1) {
        fcntl(STDIN_FILENO, F_SETFL, (int)g_nSavedFlags);
        g_nSavedFlags = -1;
    }
}

void RestoreStandardInput(void)
{
    g_bEnding = 1;
    RestoreTerminal();
    RestoreInputFlags();
}

/* ---- Standard input ---- */

int ReadMenuKey(int cEndOfInput)
{
    int c = getchar();
    if (c == EOF) return cEndOfInput;
    int rest = c;
    while (rest != '\n' && rest != EOF) rest = getchar();
    return c;
}

/* fgets with the terminal's echo off (before the prompt shows, so that
 * nothing typed after it is echoed); the line feed that ends the line is
 * shown in its place. */
static char *ReadSecretLine(const char *pszPrompt, char *pszLine, int nRoom)
{
    bool bRestoreModes = ClearTerminalModes(ECHO);
    printf("%s", pszPrompt);
    fflush(stdout);
    char *pszRead = fgets(pszLine, nRoom, stdin);
    if (bRestoreModes) {
        RestoreTerminal();
        printf("\r\n");
        fflush(stdout);
    }
    return pszRead;
}

bool ReadPinLine(const char *pszPrompt, char *pszPin)
{
    char szLine[SKFTEST_PIN_BUFFER + 1];
    if (ReadSecretLine(pszPrompt, szLine, sizeof(szLine)) == nullptr) return false;
    size_t len = strlen(szLine);
    if (len > 0 && szLine[len - 1] == '\n') {
        szLine[--len] = '\0';
    } else if (len >= SKFTEST_PIN_BUFFER) {
        /* More than 31 characters: refuse it and drop the rest of the line. */
        int c;
        do c = getchar();
        while (c != '\n' && c != EOF);
        printf("The PIN is longer than %u characters\r\n", SKFTEST_PIN_BUFFER - 1);
        memset(szLine, 0, sizeof(szLine));
        return false;
    }
    memcpy(pszPin, szLine, len + 1);
    memset(szLine, 0, sizeof(szLine));
    return true;
}
