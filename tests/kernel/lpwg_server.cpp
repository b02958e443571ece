/*
 * The phone's LPWG touch HAL stand-in in a process of its own, for tests
 * that need it to die or to stay apart from the service.
 *
 *   lpwg_server [--instance NAME] [--error N] [--die-in-call]
 *
 * Prints "ready" once registered. Commands on stdin: "calls" prints
 * "aes <mode>" per setAesMode received, then "ok". End of input ends it.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <twsim/lpwg_service.h>
#include <unistd.h>

#include <iostream>
#include <string>

int main(int argc, char** argv) {
    std::string instance = "default";
    int32_t error = 0;
    bool die = false;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--instance" && i + 1 < argc) {
            instance = argv[++i];
        } else if (arg == "--error" && i + 1 < argc) {
            error = static_cast<int32_t>(strtol(argv[++i], nullptr, 10));
        } else if (arg == "--die-in-call") {
            die = true;
        } else {
            fprintf(stderr, "usage: %s [--instance NAME] [--error N] [--die-in-call]\n", argv[0]);
            return 2;
        }
    }
    twsim::LpwgService service;
    service.setNodeError(error);
    service.setDieInSetAesMode(die);
    // hwservicemanager may have just been started: try for a while.
    bool registered = false;
    for (int i = 0; i < 100 && !registered; i++) {
        registered = service.registerService(instance);
        if (!registered) usleep(50 * 1000);
    }
    if (!registered) {
        printf("error cannot register\n");
        return 1;
    }
    printf("ready\n");
    fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line == "calls") {
            for (uint32_t mode : service.aesModes()) printf("aes %u\n", mode);
            printf("ok\n");
        } else {
            printf("error unknown command\n");
        }
        fflush(stdout);
    }
    return 0;
}
