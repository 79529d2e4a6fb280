/* skftest's output conventions and its reading of standard input. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

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

/* ---- Standard input ---- */

int ReadMenuKey(int cEndOfInput)
{
    int c = getchar();
    if (c == EOF) return cEndOfInput;
    int rest = c;
    while (rest != '\n' && rest != EOF) rest = getchar();
    return c;
}

bool ReadPinLine(const char *pszPrompt, char *pszPin)
{
    printf("%s", pszPrompt);
    fflush(stdout);
    char szLine[SKFTEST_PIN_BUFFER + 1];
    if (fgets(szLine, sizeof(szLine), stdin) == nullptr) return false;
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
