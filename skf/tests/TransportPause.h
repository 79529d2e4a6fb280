/* The transport's pause between a command's write and the read of its
 * answer, taken over by a test executable that links TransportPause.cpp:
 * the process's usleep is the one below.  The virtual token has answered a
 * command before the stand-in's write returns, so the pause can be left out
 * (transport_pause::Skip); and a test can act at the n-th pause from now,
 * when that command has reached the token and its answer is not read yet
 * (unplug the token, arm a fault for the next command).  In these
 * executables every usleep is a transport pause. */
#pragma once

#include <functional>

namespace transport_pause {

void Skip(bool bSkip);
/* Pauses since the last Reset. */
unsigned int Count();
void Reset();
/* fnAct runs at the n-th pause after this call (1: the next one); at most
 * one action is pending. */
void At(unsigned int n, std::function<void()> fnAct);
void Clear();

}  // namespace transport_pause
