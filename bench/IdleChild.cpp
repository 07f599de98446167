// talvo_bench_idle: one of the crowd of processes the process-list benchmark runs against.
//   talvo_bench_idle STOP_EVENT PARENT READY   (inherited handle values, decimal)
// Says it is up, then waits until told to stop or until the benchmark goes, however it goes.
#include <windows.h>

#include <cwchar>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int) {
    unsigned long stop = 0, parent = 0, ready = 0;
    if (std::swscanf(commandLine, L"%lu %lu %lu", &stop, &parent, &ready) != 3) return 2;
    const HANDLE handles[2] = {reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(stop)),
                               reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(parent))};
    ReleaseSemaphore(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(ready)), 1, nullptr);
    return WaitForMultipleObjects(2, handles, FALSE, INFINITE) == WAIT_FAILED ? 1 : 0;
}
