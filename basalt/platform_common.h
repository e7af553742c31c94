// What both halves of the platform layer share, behind platform.h: the
// recycling of threads and the list a directory listing hands out are the
// same on every system; only making a thread and finding the names are
// each system's.
#pragma once

#include "platform.h"

#include <cstddef>
#include <string>
#include <vector>

// What a new thread is given: its first body (none for a thread made ahead
// of need) and that body's argument.
struct ThreadStart {
    void (*body)(void *);
    void *argument;
};

// Starts a new detached thread, with a stack sized for one lookup, that
// calls platform_run_thread with start (which it then owns). Returns 0, or
// the system's error code when no thread can be made (start is then the
// caller's still).
int platform_new_thread(ThreadStart *start);

// What every new thread runs: the body it was started with, then the
// bodies later starts hand it, until none comes in time. Deletes start.
void platform_run_thread(ThreadStart *start);

// The paths a listing found, in the order handed out.
struct DirectoryListing::Names {
    std::vector<std::string> paths;
    size_t position = 0;
};

// ".NAME<mark>XXXXXX", with NAME shortened where the whole would not be a
// valid file name, so that every file whose own name fits can be replaced.
std::string platform_temporary_name(const std::string &name, const char *mark);
