/*
 * A program that traces a known pattern, for the trace writer's tests:
 *   trace_writer threads   four named threads, each 200 slices with a nested
 *                          slice, a key=value end and a counter; then a slice
 *                          with quotes, a control character and a byte
 *                          outside ASCII in its name; then an end with
 *                          nothing begun; then one slice left open and the
 *                          process killed (SIGKILL)
 *   trace_writer state     prints "enabled N file PATH"
 *   trace_writer hold      traces one slice, prints "holding", waits for a
 *                          line on stdin
 */
#define ATRACE_TAG ATRACE_TAG_HAL

#include <cutils/trace.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <twcutils/trace_file.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

static void work(int index) {
    std::string name = "writer-" + std::to_string(index);
    pthread_setname_np(pthread_self(), name.c_str());
    for (int i = 0; i < 200; i++) {
        std::string slice = "work " + std::to_string(i);
        ATRACE_BEGIN(slice.c_str());
        ATRACE_BEGIN("step");
        ATRACE_END();
        std::string args = "n=" + std::to_string(i) + " ok=yes";
        ATRACE_BEGIN(args.c_str());
        ATRACE_END();
        ATRACE_END();
        ATRACE_INT("count", i);
    }
}

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "threads") {
        std::vector<std::thread> threads;
        for (int i = 0; i < 4; i++) threads.emplace_back(work, i);
        for (auto& t : threads) t.join();
        ATRACE_BEGIN("say \"hi\" \\ \x01 \xe9");
        ATRACE_END();
        ATRACE_END();
        ATRACE_BEGIN("left open");
        kill(getpid(), SIGKILL);
        pause();
    } else if (mode == "state") {
        printf("enabled %d file %s\n", ATRACE_ENABLED() != 0 ? 1 : 0, atrace_host_file());
    } else if (mode == "hold") {
        ATRACE_BEGIN("held");
        ATRACE_END();
        printf("holding\n");
        fflush(stdout);
        char line[16];
        if (fgets(line, sizeof(line), stdin) == nullptr) return 1;
    } else {
        fprintf(stderr, "usage: %s threads|state|hold\n", argv[0]);
        return 2;
    }
    return 0;
}
