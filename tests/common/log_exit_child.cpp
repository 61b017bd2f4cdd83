// A program that leaves a file responder registered and returns from main, as
// a service process does at shutdown: the hub's exit handler must still be
// able to write the end line and close the file through the platform.
#include <cstdio>
#include "common/log_hub.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s WINDOWS-PATH\n", argv[0]);
        return 2;
    }
    CMsg* hub = CMsg::GetInstance();
    hub->AddResponder(new CLogResPonder(argv[1], 1, MSG_LEVEL_INFO));
    hub->Log(MSG_LEVEL_INFO, "main", __LINE__, "exiting with a live responder");
    return 0;
}
