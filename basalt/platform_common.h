// What both halves of the platform layer share, behind platform.h: the
// recycling of threads and the list a directory listing hands out are the
// same on every system; only making a thread and finding the names are
// each system's.
#pragma once

#include "platform.h"

#include <cstddef>
#include <ctime>
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

// The UTC date and time of moment into utc (the system's gmtime); 1, or 0
// when the system cannot give it.
int platform_utc_time(std::time_t moment, std::tm *utc);

// The paths a listing found, in the order handed out.
struct DirectoryListing::Names {
    std::vector<std::string> paths;
    size_t position = 0;
};

// ".NAME<mark>XXXXXX", with NAME shortened where the whole would not be a
// valid file name, so that every file whose own name fits can be replaced.
std::string platform_temporary_name(const std::string &name, const char *mark);

// The fields of the line tarn writes into its lock (see platform.h).
struct LockLine {
    long long pid = 0;
    char host[256] = "";
    unsigned long long start = 0; // clock ticks since boot; on Windows the creation time
    char boot[64] = "";           // empty where the system has no boot id
    unsigned long long pidns = 0; // 0 where the system has no PID namespaces
    char started[32] = "";        // UTC, "2026-12-09T13:00:00Z"
};
// The line for line, ended by a line feed, in text (capacity bytes); its
// length, or 0 when it does not fit. A byte of the host name that would
// break the line (a blank, a control byte, '=') is written as '?'.
size_t lock_line_format(const LockLine &line, char *text, size_t capacity);
// Reads a lock's text as lock_line_format writes it: 1 and the fields when
// it is such a line (pid, host and start at least), else 0. The text may
// be anything, of any of its length bytes.
int lock_line_parse(const char *text, size_t length, LockLine *line);

// Fills what a lock's text says into holder (its text read already): empty,
// or the process it names, whose state judge tells.
void lock_holder_read_text(LockHolder *holder, LockHolderState (*judge)(const LockLine &));

// One directory entry's name against one component of a pattern: '*', '?'
// and '[...]' ("!" or "^" negates, a first ']' is itself, "a-z" a range, a
// '[' without its ']' an ordinary byte), '*' backtracking to the last
// star; a leading dot is matched only by a dot. With fold, the case of
// ASCII letters does not count.
bool platform_name_matches(const char *pattern, const char *name, bool fold);
