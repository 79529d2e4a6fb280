#include "log/zlog/ZlogFormat.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>

namespace brio_zlog {

const struct tm &ZlogEvent::LocalTime() const
{
    if (!m_bHaveTm) {
        time_t t = tsNow.tv_sec;
        localtime_r(&t, &m_tm);
        m_bHaveTm = true;
    }
    return m_tm;
}

namespace {

/* The process id, kept so that a record costs no system call for it (the
 * C library asks the kernel on every getpid()).  A fork handler gives the
 * child its own id; 0 means not known yet.  The handler is registered
 * before the first id is kept, so a child forked at any moment either
 * inherits 0 or has its id set by the handler. */
std::atomic<pid_t> g_pid{0};
pthread_once_t g_pidOnce = PTHREAD_ONCE_INIT;

void RefreshPidInChild() { g_pid.store(getpid(), std::memory_order_relaxed); }

void RegisterPidRefresh() { pthread_atfork(nullptr, nullptr, &RefreshPidInChild); }

pid_t CurrentPid()
{
    pid_t pid = g_pid.load(std::memory_order_relaxed);
    if (pid != 0) return pid;
    pthread_once(&g_pidOnce, &RegisterPidRefresh);
    pid = getpid();
    g_pid.store(pid, std::memory_order_relaxed);
    return pid;
}

}  // namespace

/* Reads the real-time clock through the vDSO and the kept process id: no
 * system call. */
void StampEvent(ZlogEvent *pEvent)
{
    clock_gettime(CLOCK_REALTIME, &pEvent->tsNow);
    pEvent->pid = CurrentPid();
    pEvent->tid = pthread_self();
}

namespace {

const char kDefaultTime[] = "%Y-%m-%d %H:%M:%S";

/* Width, precision and alignment apply to the text of one conversion. */
void AppendField(std::string &strOut, const CZlogFormat::Spec &s, const char *p, size_t n)
{
    if (s.nPrecision >= 0 && n > static_cast<size_t>(s.nPrecision)) n = static_cast<size_t>(s.nPrecision);
    size_t pad = (s.nWidth > 0 && n < static_cast<size_t>(s.nWidth)) ? s.nWidth - n : 0;
    if (!s.bLeft) strOut.append(pad, ' ');
    strOut.append(p, n);
    if (s.bLeft) strOut.append(pad, ' ');
}

void AppendField(std::string &strOut, const CZlogFormat::Spec &s, const char *psz)
{
    AppendField(strOut, s, psz, strlen(psz));
}

const char *BaseName(const char *pszPath)
{
    const char *p = strrchr(pszPath, '/');
    return p ? p + 1 : pszPath;
}

/* Reads "(...)" after a conversion letter; false when unclosed. */
bool ReadParen(const std::string &strPattern, size_t *pPos, std::string *pstrArg)
{
    size_t i = *pPos;
    if (i >= strPattern.size() || strPattern[i] != '(') return true; /* no argument */
    size_t close = strPattern.find(')', i + 1);
    if (close == std::string::npos) return false;
    *pstrArg = strPattern.substr(i + 1, close - i - 1);
    *pPos = close + 1;
    return true;
}

}  // namespace

std::shared_ptr<const CZlogFormat> CZlogFormat::Compile(const std::string &strPattern,
                                                        std::string *pstrError)
{
    auto pFormat = std::make_shared<CZlogFormat>();
    pFormat->m_strPattern = strPattern;
    std::string strLiteral;
    auto flushLiteral = [&]() {
        if (strLiteral.empty()) return;
        Spec s;
        s.strText = strLiteral;
        pFormat->m_vecSpecs.push_back(s);
        strLiteral.clear();
    };
    auto fail = [&](const std::string &why) -> std::shared_ptr<const CZlogFormat> {
        *pstrError = "format [" + strPattern + "]: " + why;
        return nullptr;
    };

    size_t i = 0;
    while (i < strPattern.size()) {
        char c = strPattern[i];
        if (c != '%') {
            strLiteral += c;
            ++i;
            continue;
        }
        size_t start = i++;
        Spec s;
        if (i < strPattern.size() && strPattern[i] == '-') {
            s.bLeft = true;
            ++i;
        }
        while (i < strPattern.size() && isdigit(static_cast<unsigned char>(strPattern[i]))) {
            s.nWidth = s.nWidth * 10 + (strPattern[i++] - '0');
            if (s.nWidth > 4096) return fail("width too large");
        }
        if (i < strPattern.size() && strPattern[i] == '.') {
            ++i;
            s.nPrecision = 0;
            while (i < strPattern.size() && isdigit(static_cast<unsigned char>(strPattern[i]))) {
                s.nPrecision = s.nPrecision * 10 + (strPattern[i++] - '0');
                if (s.nPrecision > 65536) return fail("precision too large");
            }
        }
        if (i >= strPattern.size()) return fail("a conversion is cut off at the end");
        char conv = strPattern[i++];
        std::string strArg;
        switch (conv) {
        case '%':
            if (i - start != 2) return fail("%% takes no width");
            strLiteral += '%';
            continue;
        case 'd':
            s.eKind = Kind::Time;
            if (!ReadParen(strPattern, &i, &strArg)) return fail("%d( is not closed");
            s.strText = strArg.empty() ? kDefaultTime : strArg;
            break;
        case 'D': s.eKind = Kind::Time; s.strText = kDefaultTime; break;
        case 'V': s.eKind = Kind::Level; break;
        case 'p': s.eKind = Kind::Pid; break;
        case 'F': s.eKind = Kind::File; break;
        case 'f': s.eKind = Kind::FileBase; break;
        case 'L': s.eKind = Kind::Line; break;
        case 'U': s.eKind = Kind::Func; break;
        case 'm':
            if (i < strPattern.size() && strPattern[i] == 's') {
                ++i;
                s.eKind = Kind::MilliSec;
            } else {
                s.eKind = Kind::Message;
            }
            break;
        case 'u':
            if (i >= strPattern.size() || strPattern[i] != 's') return fail("unknown conversion %u");
            ++i;
            s.eKind = Kind::MicroSec;
            break;
        case 'n': s.eKind = Kind::Newline; break;
        case 'c': s.eKind = Kind::Category; break;
        case 't': s.eKind = Kind::ThreadHex; break;
        case 'T': s.eKind = Kind::ThreadLong; break;
        case 'H': {
            char szHost[256] = {};
            if (gethostname(szHost, sizeof szHost - 1) != 0) szHost[0] = '\0';
            s.strText = szHost;
            break;
        }
        case 'E': {
            if (!ReadParen(strPattern, &i, &strArg) || strArg.empty())
                return fail("%E needs a variable name in parentheses");
            const char *pszValue = getenv(strArg.c_str());
            s.strText = pszValue ? pszValue : "";
            break;
        }
        default:
            return fail(std::string("unknown conversion %") + conv);
        }
        flushLiteral();
        if (s.eKind == Kind::Literal) {
            /* %H and %E: fixed text that still honours width and precision */
            std::string strField;
            AppendField(strField, s, s.strText.data(), s.strText.size());
            s.strText = strField;
            s.bLeft = false;
            s.nWidth = 0;
            s.nPrecision = -1;
        }
        pFormat->m_vecSpecs.push_back(s);
    }
    flushLiteral();
    return pFormat;
}

bool CZlogFormat::IsConstant() const
{
    for (const Spec &s : m_vecSpecs)
        if (s.eKind != Kind::Literal) return false;
    return true;
}

void CZlogFormat::Append(const ZlogEvent &ev, std::string &strOut) const
{
    char szNum[64];
    for (const Spec &s : m_vecSpecs) {
        switch (s.eKind) {
        case Kind::Literal: strOut += s.strText; break;
        case Kind::Time: {
            char szTime[256];
            size_t n = strftime(szTime, sizeof szTime, s.strText.c_str(), &ev.LocalTime());
            AppendField(strOut, s, szTime, n);
            break;
        }
        case Kind::Level: AppendField(strOut, s, ev.pLevel ? ev.pLevel->strName.c_str() : "UNKNOWN"); break;
        case Kind::Pid:
            snprintf(szNum, sizeof szNum, "%ld", static_cast<long>(ev.pid));
            AppendField(strOut, s, szNum);
            break;
        case Kind::File: AppendField(strOut, s, ev.pszFile); break;
        case Kind::FileBase: AppendField(strOut, s, BaseName(ev.pszFile)); break;
        case Kind::Line:
            snprintf(szNum, sizeof szNum, "%ld", ev.lLine);
            AppendField(strOut, s, szNum);
            break;
        case Kind::Func: AppendField(strOut, s, ev.pszFunc); break;
        case Kind::Message: AppendField(strOut, s, ev.pMessage, ev.ulMessageLen); break;
        case Kind::Category: AppendField(strOut, s, ev.pszCategory); break;
        case Kind::ThreadHex:
            snprintf(szNum, sizeof szNum, "%lx", static_cast<unsigned long>(ev.tid));
            AppendField(strOut, s, szNum);
            break;
        case Kind::ThreadLong:
            snprintf(szNum, sizeof szNum, "%lu", static_cast<unsigned long>(ev.tid));
            AppendField(strOut, s, szNum);
            break;
        case Kind::MilliSec:
            snprintf(szNum, sizeof szNum, "%03ld", ev.tsNow.tv_nsec / 1000000);
            AppendField(strOut, s, szNum);
            break;
        case Kind::MicroSec:
            snprintf(szNum, sizeof szNum, "%06ld", ev.tsNow.tv_nsec / 1000);
            AppendField(strOut, s, szNum);
            break;
        case Kind::Newline: AppendField(strOut, s, "\n", 1); break;
        }
    }
}

}  // namespace brio_zlog
