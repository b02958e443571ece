/*
 * Copyright (C) 2026 The Twinel HAL Authors
 *
 * Licensed under the Apache License, Version 2.0 (the "License");
 * you may not use this file except in compliance with the License.
 */

// Runs a fuzz target over the files of its corpus once each, for builds
// without libFuzzer: `<target>_replay FILE_OR_DIR...`. A crash or a
// sanitizer report ends the program as it would end the fuzzer; otherwise
// it prints how many inputs ran and exits 0 (1 when there were none or a
// path could not be read, so an empty or misplaced corpus is noticed).

#include <dirent.h>
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

bool collect(const std::string& path, std::vector<std::string>* files) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        fprintf(stderr, "%s: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        files->push_back(path);
        return true;
    }
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) {
        fprintf(stderr, "%s: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    std::vector<std::string> names;
    while (struct dirent* e = readdir(dir)) {
        if (e->d_name[0] != '.') names.push_back(e->d_name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    bool ok = true;
    for (const std::string& n : names) ok = collect(path + "/" + n, files) && ok;
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> files;
    bool ok = true;
    for (int i = 1; i < argc; i++) ok = collect(argv[i], &files) && ok;
    if (!ok) return 1;
    if (files.empty()) {
        fprintf(stderr, "no inputs\n");
        return 1;
    }
    for (const std::string& f : files) {
        std::ifstream in(f, std::ios::binary);
        std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)),
                                  std::istreambuf_iterator<char>());
        if (!in.eof() && in.fail()) {
            fprintf(stderr, "%s: unreadable\n", f.c_str());
            return 1;
        }
        // A copy of exactly the input's size, so that reading past its end
        // is caught as the fuzzer would catch it.
        std::unique_ptr<uint8_t[]> exact(new uint8_t[data.size()]);
        std::copy(data.begin(), data.end(), exact.get());
        LLVMFuzzerTestOneInput(exact.get(), data.size());
    }
    printf("%zu inputs replayed\n", files.size());
    return 0;
}
