/* Waits until an X selection has an owner: selowner NAME TIMEOUT_MS.
   Exit status 0 when owned, 1 on time-out, 2 without a display. */
#include <X11/Xlib.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

int main(int argc, char **argv)
{
    if (argc < 3)
        return 2;
    Display *d = XOpenDisplay(NULL);
    if (!d)
        return 2;
    Atom selection = XInternAtom(d, argv[1], False);
    long timeoutMs = atol(argv[2]);
    struct timespec step = {0, 20 * 1000 * 1000};
    for (long waited = 0; waited <= timeoutMs; waited += 20) {
        if (XGetSelectionOwner(d, selection) != None) {
            XCloseDisplay(d);
            return 0;
        }
        nanosleep(&step, NULL);
    }
    XCloseDisplay(d);
    return 1;
}
