// The parts of the test helpers that differ on Windows: children of a test
// are the test program started again, as Windows has no fork.
#include "test_support.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <string>
#include <sys/stat.h>

namespace
{

// A fatal report must never wait for a click on its message box: the box
// is the line on standard error in every test program.
const bool NO_MESSAGE_BOX = _putenv_s("TARN_NO_MESSAGE_BOX", "1") == 0;

// Set in a child: "CALL|OUT|ERR", the number of the run_in_child call of
// the test to run and the files for its standard output and error.
constexpr const char *CHILD_VARIABLE = "TARN_TEST_CHILD";

std::string current_test_name()
{
    const testing::TestInfo *info = testing::UnitTest::GetInstance()->current_test_info();
    return info == nullptr ? std::string() : std::string(info->test_suite_name()) + "." + info->name();
}

// The number of this run_in_child call within the current test, from 0.
int next_call_number()
{
    static std::string test;
    static int number = 0;
    const std::string name = current_test_name();
    if (name != test) {
        test = name;
        number = 0;
    }
    return number++;
}

// Points the descriptor fd at a new file, in the C library's text mode,
// as the standard streams of a new process are.
bool redirect(int fd, const std::string &path)
{
    const int file = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_TEXT, _S_IREAD | _S_IWRITE);
    const bool done = file >= 0 && _dup2(file, fd) == 0;
    if (file >= 0)
        _close(file);
    return done;
}

// In the child: runs body with its output going to the files the parent
// reads, then ends as a forked child does.
[[noreturn]] void run_as_child(const std::function<void()> &body, const std::string &out, const std::string &err)
{
    std::fflush(stdout);
    std::fflush(stderr);
    if (!redirect(1, out) || !redirect(2, err))
        std::_Exit(125);
    body();
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(0);
}

std::string quoted(const std::string &argument)
{
    return argument.find_first_of(" \t") == std::string::npos ? argument : "\"" + argument + "\"";
}

// Starts this program again for the current test with the request in the
// environment, its own test output going nowhere, and waits for its status.
int run_self(const std::string &request)
{
    char program[MAX_PATH];
    if (GetModuleFileNameA(nullptr, program, sizeof program) == 0)
        return -1;
    const std::string path = quoted(program);
    const std::string filter = "--gtest_filter=" + current_test_name();
    const char *argv[] = {path.c_str(), filter.c_str(), nullptr};
    _putenv_s(CHILD_VARIABLE, request.c_str());
    std::fflush(stdout);
    std::fflush(stderr);
    const int saved_out = _dup(1);
    const int saved_err = _dup(2);
    const int nowhere = _open("NUL", _O_WRONLY);
    _dup2(nowhere, 1);
    _dup2(nowhere, 2);
    const intptr_t status = _spawnv(_P_WAIT, program, argv);
    _dup2(saved_out, 1);
    _dup2(saved_err, 2);
    for (int fd : {saved_out, saved_err, nowhere})
        _close(fd);
    _putenv_s(CHILD_VARIABLE, "");
    return static_cast<int>(status);
}

} // namespace

RunResult run_in_child(const std::function<void()> &body)
{
    const int call = next_call_number();
    const char *request = std::getenv(CHILD_VARIABLE);
    if (request != nullptr && request[0] != '\0') {
        const std::string text = request;
        const size_t first = text.find('|');
        const size_t second = text.find('|', first + 1);
        if (std::atoi(text.c_str()) == call)
            run_as_child(body, text.substr(first + 1, second - first - 1), text.substr(second + 1));
        return RunResult{}; // a call before the one asked for
    }
    TempDir dir;
    RunResult result;
    result.status = run_self(std::to_string(call) + "|" + dir.file("out") + "|" + dir.file("err"));
    result.out = read_file(dir.file("out"));
    result.err = read_file(dir.file("err"));
    return result;
}
