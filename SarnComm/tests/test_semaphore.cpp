/* The command semaphore's creation when processes start together: only the
 * creator gives it its first value, so no late starter hands out a second
 * holder; a creator that ends or stops between the creation and that value
 * holds nobody up for longer than the wait for it; a set removed under a
 * waiter is opened again by its key.  Runs on private keys, never on the
 * system's command semaphore. */
#include <gtest/gtest.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "SarnComm/SarnUnit.h"
#include "log/ResultCodes.h"

namespace {

/* A key of this process's own, one per test (iTest below 16). */
int PrivateKey(int iTest) { return 0x287E0000 | ((getpid() & 0xFFF) << 4) | iTest; }

void RemoveSet(int iKey)
{
    int iOld = semget(iKey, 1, 0666);
    if (iOld >= 0) semctl(iOld, 0, IPC_RMID);
}

/* How long the tests let a set go without its first value. */
const unsigned int READY_WAIT_MS = 200;
const unsigned int TAKE_TIMEOUT_MS = 10000;

/* What a participant process reports by its exit status. */
enum Outcome { TOOK_IT = 0, OVERLAPPED = 1, NOT_TAKEN = 2 };

/* In a child: takes the semaphore of iKey, holds it 20 ms with the mark
 * file made exclusively (another holder's mark there is an overlap), gives
 * it back and ends with the outcome. */
[[noreturn]] void Participate(int iKey, const std::string &strMark)
{
    std::atomic<int> iSem{-1};
    int iTaken = -1;
    if (SarnTakeSemaphore(iSem, iKey, READY_WAIT_MS, TAKE_TIMEOUT_MS, &iTaken) != 0) _exit(NOT_TAKEN);
    int fd = open(strMark.c_str(), O_CREAT | O_EXCL | O_WRONLY, 0600);
    usleep(20000);
    if (fd >= 0) {
        close(fd);
        unlink(strMark.c_str());
    }
    SarnGiveSemaphore(iTaken);
    _exit(fd >= 0 ? TOOK_IT : OVERLAPPED);
}

/* The creator's stop between the creation of the set and its first value. */
void StopHere(int)
{
    g_pfnSemaphoreCreated = nullptr;
    raise(SIGSTOP);
}

/* The children of one round; those not reaped by ExitCode are killed and
 * reaped when it ends (a stopped creator among them). */
class CChildren {
public:
    ~CChildren()
    {
        for (pid_t pid : m_pids) {
            if (pid <= 0) continue;
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    pid_t &Add(pid_t pid)
    {
        m_pids.push_back(pid);
        return m_pids.back();
    }
    /* The exit code of a child (reaped), -1 when it did not end normally. */
    static int ExitCode(pid_t &pid)
    {
        int nStatus = 0;
        pid_t waited = waitpid(pid, &nStatus, 0);
        pid = -1;
        return waited > 0 && WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
    }

private:
    std::deque<pid_t> m_pids;  /* a deque: Add's references stay valid */
};

}  // namespace

TEST(CommandSemaphore, StartersTogetherNeverYieldTwoHolders)
{
    const int iKey = PrivateKey(0);
    for (int round = 0; round < 200; ++round) {
        RemoveSet(iKey);
        std::atomic<int> holders{0};
        std::atomic<bool> go{false};
        std::vector<std::thread> starters;
        for (int i = 0; i < 6; ++i) {
            starters.emplace_back([&] {
                while (!go.load()) std::this_thread::yield();
                int iSem = SarnOpenSemaphore(iKey);
                struct sembuf stTake = {0, -1, IPC_NOWAIT};
                if (iSem >= 0 && semop(iSem, &stTake, 1) == 0) holders++;
            });
        }
        go = true;
        for (std::thread &t : starters) t.join();
        ASSERT_LE(holders.load(), 1) << "round " << round;
        int iSem = semget(iKey, 1, 0666);
        ASSERT_GE(iSem, 0);
        EXPECT_EQ(holders.load() == 1 ? 0 : 1, semctl(iSem, 0, GETVAL));
        semctl(iSem, 0, IPC_RMID);
    }
    RemoveSet(iKey);
}

/* A creator stopped between the creation of the set (born with 0, i.e.
 * taken) and its first value: the window exists.  Killed there, or resumed
 * while the others wait or only once they are done: four processes that
 * start together all get the semaphore, one at a time, and it is left
 * free (1). */
TEST(CommandSemaphore, ACreatorStoppedBeforeItsFirstValueHoldsNobodyUp)
{
    enum class Creator { Killed, ResumedWhileOthersWait, ResumedAfterwards };
    struct {
        const char *pszName;
        Creator eCreator;
    } cases[] = {{"killed", Creator::Killed},
                 {"resumed while the others wait", Creator::ResumedWhileOthersWait},
                 {"resumed once the others are done", Creator::ResumedAfterwards}};
    const int iKey = PrivateKey(1);
    const std::string strMark = ::testing::TempDir() + "semaphore_mark_" + std::to_string(getpid());
    for (const auto &c : cases) {
        for (int round = 0; round < 5; ++round) {
            SCOPED_TRACE(std::string(c.pszName) + ", round " + std::to_string(round));
            RemoveSet(iKey);
            unlink(strMark.c_str());
            CChildren children;
            pid_t &creator = children.Add(fork());
            ASSERT_GE(creator, 0);
            if (creator == 0) {
                g_pfnSemaphoreCreated = StopHere;
                Participate(iKey, strMark);
            }
            int nStatus = 0;
            ASSERT_EQ(creator, waitpid(creator, &nStatus, WUNTRACED));
            ASSERT_TRUE(WIFSTOPPED(nStatus));
            int iSem = semget(iKey, 1, 0666);
            ASSERT_GE(iSem, 0);
            struct semid_ds stDs;
            ASSERT_EQ(0, semctl(iSem, 0, IPC_STAT, &stDs));
            EXPECT_EQ(0, stDs.sem_otime);
            EXPECT_EQ(0, semctl(iSem, 0, GETVAL)) << "the set is taken while its creator is stopped";
            if (c.eCreator == Creator::Killed) {
                kill(creator, SIGKILL);
                EXPECT_EQ(-1, CChildren::ExitCode(creator));
            }

            int go[2];
            ASSERT_EQ(0, pipe(go));
            std::vector<pid_t *> others;
            for (int i = 0; i < 4; ++i) {
                pid_t &pid = children.Add(fork());
                ASSERT_GE(pid, 0);
                if (pid == 0) {
                    close(go[1]);
                    char ch;
                    while (read(go[0], &ch, 1) > 0) {
                    }
                    Participate(iKey, strMark);
                }
                others.push_back(&pid);
            }
            close(go[0]);
            close(go[1]);
            if (c.eCreator == Creator::ResumedWhileOthersWait) {
                std::this_thread::sleep_for(std::chrono::milliseconds(READY_WAIT_MS / 4));
                kill(creator, SIGCONT);
            }
            for (pid_t *pPid : others) {
                EXPECT_EQ(TOOK_IT, CChildren::ExitCode(*pPid));
            }
            if (c.eCreator == Creator::ResumedAfterwards) kill(creator, SIGCONT);
            if (c.eCreator != Creator::Killed) {
                EXPECT_EQ(TOOK_IT, CChildren::ExitCode(creator));
            }

            iSem = semget(iKey, 1, 0666);
            ASSERT_GE(iSem, 0);
            EXPECT_EQ(1, semctl(iSem, 0, GETVAL));
            EXPECT_EQ(0, semctl(iSem, 0, GETNCNT));
        }
    }
    RemoveSet(iKey);
}

/* A set removed while a thread waits in it (as ipcrm would, or a waiter
 * that took it for one never given its value): the waiter opens the set of
 * the key again, stores its id for the other threads and takes it within
 * its time-out; the holder of the old set gives back to that one only. */
TEST(CommandSemaphore, AWaiterOnARemovedSetTakesTheSetOfTheKey)
{
    const int iKey = PrivateKey(2);
    RemoveSet(iKey);
    std::atomic<int> iSem{-1};
    int iHeld = -1;
    ASSERT_EQ(0u, SarnTakeSemaphore(iSem, iKey, READY_WAIT_MS, TAKE_TIMEOUT_MS, &iHeld));
    std::atomic<unsigned int> ulWaiter{0xFFFFFFFF};
    int iWaiterTook = -1;
    std::thread waiter([&] { ulWaiter = SarnTakeSemaphore(iSem, iKey, READY_WAIT_MS, TAKE_TIMEOUT_MS, &iWaiterTook); });
    for (int i = 0; i < 400 && semctl(iHeld, 0, GETNCNT) != 1; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(1, semctl(iHeld, 0, GETNCNT)) << "the waiter does not wait in the set";
    ASSERT_EQ(0, semctl(iHeld, 0, IPC_RMID));
    waiter.join();
    EXPECT_EQ(0u, ulWaiter.load());
    int iNow = semget(iKey, 1, 0666);
    EXPECT_EQ(iNow, iWaiterTook);
    EXPECT_EQ(iNow, iSem.load());
    SarnGiveSemaphore(iHeld);
    EXPECT_EQ(0, semctl(iNow, 0, GETVAL)) << "the old holder's release reached the new set";
    SarnGiveSemaphore(iWaiterTook);
    EXPECT_EQ(1, semctl(iNow, 0, GETVAL));
    RemoveSet(iKey);
}
