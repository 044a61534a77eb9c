// sessionend TITLE STEP...: sends the window titled TITLE what Windows sends at a log-off. query:
// WM_QUERYENDSESSION, printing the answer (1: the session may end, 0: not yet); end or cancel:
// WM_ENDSESSION, the session ending or going on after all.
#include <cstdio>
#include <cstring>

#include <windows.h>

int main(int argc, char *argv[])
{
    const HWND window = argc > 1 ? ::FindWindowA(nullptr, argv[1]) : nullptr;
    for (int k = 2; window != nullptr && k < argc; ++k) {
        const bool query = std::strcmp(argv[k], "query") == 0;
        DWORD_PTR answer = 0; // none from a program that ends on WM_ENDSESSION
        ::SendMessageTimeoutA(window, query ? WM_QUERYENDSESSION : WM_ENDSESSION,
                              std::strcmp(argv[k], "end") == 0, ENDSESSION_LOGOFF, SMTO_ABORTIFHUNG,
                              20000, &answer);
        if (query)
            std::printf("%d\n", answer != 0);
    }
    return window != nullptr ? 0 : 2;
}
