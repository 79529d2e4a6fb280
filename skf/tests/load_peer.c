/* A program that loads the shipped library at run time:
 *   load_peer LIBRARY exit|unload [threads|ending]
 * makes an SKF call (with "threads" also in threads that live on while the
 * library is unloaded or the program exits; with "ending" in many threads
 * that are let end just as the library is unloaded, so that they end while
 * it unloads); with "unload" it unloads the library from the main thread and
 * says "unloaded" or "still loaded", then lets the threads end; then it
 * returns from main. */
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include "skf/skf.h"
#include "skf/tests/PeerThreads.h"

typedef ULONG (*EnumDevFn)(BOOL, LPSTR, ULONG *);
static EnumDevFn g_pfnEnumDev = NULL;

static void ListDevices(void)
{
    ULONG ulSize = 0;
    g_pfnEnumDev(TRUE, NULL, &ulSize);
}

int main(int argc, char **argv)
{
    void *pLibrary;
    int bThreads = argc == 4 && strcmp(argv[3], "threads") == 0;
    int bEnding = argc == 4 && strcmp(argv[3], "ending") == 0;
    if (argc < 3) return 2;
    pLibrary = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (pLibrary == NULL) return 1;
    g_pfnEnumDev = (EnumDevFn)dlsym(pLibrary, "SKF_EnumDev");
    if (g_pfnEnumDev == NULL) return 1;
    ListDevices();
    if (bThreads && StartPeerThreads(ListDevices) != 0) return 1;
    if (bEnding && StartPeerThreadsEx(ListDevices, PEER_THREADS_MAX, 0) != 0) return 1;
    if (strcmp(argv[2], "unload") == 0) {
        if (bEnding) LetPeerThreadsEnd();
        if (dlclose(pLibrary) != 0) return 1;
        printf("%s\n", dlopen(argv[1], RTLD_NOW | RTLD_NOLOAD) == NULL ? "unloaded" : "still loaded");
        if (bThreads || bEnding) EndPeerThreads();
    } else {
        printf("logged\n");
    }
    fflush(stdout);
    return 0;
}
