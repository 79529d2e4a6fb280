/* skftest's output conventions and its reading of standard input. */
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>

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

/* ---- Standard input's modes ----
 *
 * Only the main thread changes them, and the handlers of the signals that
 * restore them run on the main thread as well (skftest.cpp passes them
 * there): a handler never runs beside a change, it can only interrupt
 * one, and g_nModes tells it how far that change got.  Atomics (lock-free)
 * keep the handler's view of the two records in the order they were
 * written. */

enum {
    MODES_KEPT,     /* the terminal has its own modes: nothing to restore */
    MODES_CHANGED,  /* the program's modes (g_stChangedTermios) are, or are being, set */
    MODES_IN_FLUX,  /* the records are being replaced, or the saved modes set back */
};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handlers read the state");

static struct termios g_stSavedTermios;    /* the modes the terminal had */
static struct termios g_stChangedTermios;  /* those with the program's flags cleared */
static std::atomic<int> g_nModes{MODES_KEPT};
/* Set once the program ends on a signal: no change of the modes follows. */
static std::atomic<bool> g_bEnding{false};

bool ClearTerminalModes(unsigned int ulFlags)
{
    struct termios stModes;
    if (g_bEnding || tcgetattr(STDIN_FILENO, &stModes) != 0) return false;  /* no terminal */
    /* Already off (the device wait keeps them off): nothing to do. */
    if ((stModes.c_lflag & (tcflag_t)ulFlags) == 0) return false;
    bool bFirst = g_nModes == MODES_KEPT;
    if (bFirst) {
        g_stSavedTermios = stModes;
    } else {
        /* A further change under a first one: its records are rewritten. */
        g_nModes = MODES_IN_FLUX;
    }
    stModes.c_lflag &= ~(tcflag_t)ulFlags;
    g_stChangedTermios = stModes;
    /* Marked before the change, so that a signal between the two still
     * finds the modes to restore. */
    g_nModes = MODES_CHANGED;
    if (tcsetattr(STDIN_FILENO, TCSANOW, &stModes) != 0 && bFirst) {
        g_nModes = MODES_KEPT;
        return false;
    }
    return bFirst;
}

void RestoreTerminal(void)
{
    if (g_nModes == MODES_KEPT) return;
    g_nModes = MODES_IN_FLUX;
    tcsetattr(STDIN_FILENO, TCSANOW, &g_stSavedTermios);
    g_nModes = MODES_KEPT;
}

void RestoreStandardInput(void)
{
    g_bEnding = true;
    if (g_nModes != MODES_KEPT) tcsetattr(STDIN_FILENO, TCSANOW, &g_stSavedTermios);
}

void RestoreModesForStop(void)
{
    if (g_nModes != MODES_KEPT) tcsetattr(STDIN_FILENO, TCSANOW, &g_stSavedTermios);
}

void ApplyModesAgain(void)
{
    if (g_bEnding || g_nModes != MODES_CHANGED) return;
    /* Continued in the background (bg), the change would stop the program
     * again (SIGTTOU): the modes follow with the SIGCONT of fg. */
    if (tcgetpgrp(STDIN_FILENO) != getpgrp()) return;
    tcsetattr(STDIN_FILENO, TCSANOW, &g_stChangedTermios);
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
