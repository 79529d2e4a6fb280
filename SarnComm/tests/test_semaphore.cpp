/* The command semaphore's creation when processes start together: only the
 * creator gives it its first value, so no late starter hands out a second
 * holder.  Runs on a private key, never on the system's command semaphore. */
#include <gtest/gtest.h>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "SarnComm/SarnUnit.h"

TEST(CommandSemaphore, StartersTogetherNeverYieldTwoHolders)
{
    const int iKey = 0x287E0000 | (getpid() & 0xFFFF);
    for (int round = 0; round < 200; ++round) {
        int iOld = semget(iKey, 1, 0666);
        if (iOld >= 0) semctl(iOld, 0, IPC_RMID);
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
}
