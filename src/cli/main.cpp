#include <csignal>

#include "options.h"

int main(int argc, char **argv)
{
    // A file-size limit makes a write fail (EFBIG), reported and cleaned up
    // like a full disk, instead of killing the process with its temporaries
    // still on the disk.
    signal(SIGXFSZ, SIG_IGN);
    return tambrix_main(argc, argv);
}
