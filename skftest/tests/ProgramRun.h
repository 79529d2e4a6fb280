/* One run of a console program as a child process, its standard input fed
 * through a pipe or a pseudo-terminal, its output collected, and every wait
 * bounded: a program that hangs fails the test instead of stalling it.
 *
 *   CProgramRun run({SKFTEST_PROGRAM, "--menu"}, {"NAME=value"}, CProgramRun::Input::Terminal);
 *   ASSERT_TRUE(run.WaitFor("选择[Q-退出]: "));
 *   run.Send("q\n");
 *   ASSERT_TRUE(run.Finish()) << run.Output();
 */
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace skftest_test {

class CProgramRun {
public:
    /* Null: standard input from /dev/null (nothing to send).  Closed: no
     * descriptor 0 at all, as a shell's "<&-" starts a program.
     * JobTerminal: a terminal, the program a job of a stand-in for a shell
     * with job control: in the terminal's foreground in a process group of
     * its own, so that Ctrl+Z stops it.  Once it stopped, the stand-in takes
     * the terminal back, sets the modes the terminal had at the start and
     * writes STOPPED_MODES_KEPT (the program had put those back itself) or
     * STOPPED_MODES_CHANGED; a line "fg" continues the job.  The run ends
     * as the job ends. */
    enum class Input { Pipe, Terminal, Null, Closed, JobTerminal };
    static const char *const STOPPED_MODES_KEPT;
    static const char *const STOPPED_MODES_CHANGED;

    /* Starts argv with the environment changed by astrEnv ("NAME=value"
     * sets, "NAME" unsets).  Without a terminal, standard error joins
     * the output; with a terminal, both go to it. */
    CProgramRun(const std::vector<std::string> &argv, const std::vector<std::string> &astrEnv, Input eInput);
    /* A child still running is killed. */
    ~CProgramRun();
    CProgramRun(const CProgramRun &) = delete;
    CProgramRun &operator=(const CProgramRun &) = delete;

    void Send(const std::string &strText);
    /* Pipe: closes it.  Terminal: the end-of-file character (at the start
     * of a line it ends the input). */
    void EndInput();
    /* True once the output holds strText nCount times, false after nSeconds. */
    bool WaitFor(const std::string &strText, int nSeconds = 30, size_t nCount = 1);
    /* Reads on for nMillis milliseconds (to see that nothing more comes). */
    void Drain(int nMillis);
    /* True when the output ends and the child exits within nSeconds;
     * otherwise (or once it printed more than a megabyte: a loop) the
     * child is killed. */
    bool Finish(int nSeconds = 60);
    bool Running();

    /* The output so far, carriage returns dropped. */
    std::string Output() const;
    /* Its last lines, for a failure message. */
    std::string Tail() const;
    /* waitpid's status once Finish returned true. */
    int Status() const { return m_nStatus; }
    /* The terminal's controlling side (Input::Terminal, Input::JobTerminal),
     * -1 otherwise. */
    int TerminalFd() const { return m_nTerminal; }

private:
    /* Reads what comes within nMillis; false once the output has ended. */
    bool ReadSome(int nMillis);
    void Kill();

    pid_t m_pid = -1;
    int m_nInput = -1;
    int m_nOutput = -1;
    int m_nTerminal = -1;
    bool m_bOutputEnded = false;
    bool m_bRunaway = false;
    int m_nStatus = -1;
    std::string m_strOutput;
};

/* Whether strText holds the parts one after the other; the first missing
 * one in *pstrMissing. */
bool ContainsInOrder(const std::string &strText, const std::vector<std::string> &astrParts,
                     std::string *pstrMissing = nullptr);
size_t CountOf(const std::string &strText, const std::string &strPart);

}  // namespace skftest_test
