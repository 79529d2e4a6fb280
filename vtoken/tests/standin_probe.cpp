// A program as the middleware's users run it: lists the tokens through libusb
// as many times as its argument says and makes one pass of event handling.
// Its exit status is the number of tokens the last listing found.
#include <libusb.h>

#include <cstdlib>

int main(int argc, char** argv)
{
    int iTimes = argc > 1 ? std::atoi(argv[1]) : 1;
    libusb_context* pCtx = nullptr;
    if (libusb_init(&pCtx) != 0) {
        return 100;
    }
    ssize_t n = 0;
    for (int i = 0; i < iTimes; ++i) {
        libusb_device** list = nullptr;
        n = libusb_get_device_list(pCtx, &list);
        libusb_free_device_list(list, 1);
    }
    timeval tv {0, 1000};
    libusb_handle_events_timeout_completed(pCtx, &tv, nullptr);
    libusb_exit(pCtx);
    return n < 0 ? 101 : static_cast<int>(n);
}
