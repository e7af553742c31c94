// Helpers shared by the test programs: temporary files and directories that
// remove themselves, running the built program, and capturing console output.
#pragma once

#include "socket.h"

#include <cstdint>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <random>
#include <string>
#include <vector>

// What the program prints first on every run but a quiet one.
inline const std::string BANNER = "\nKelvarn Tarnwick (TARN) - Tarnwick Lookup version 1.23 [06/07/1999]\n"
                                  "The latest version is always available at https://tarnwick.example.org/\n\n";

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes out of scope.
class TempDir
{
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// A Common log line (line feed included) of the client host: what the
// harvest takes a client from.
inline std::string common_line(const std::string &host, const std::string &request = "/")
{
    return host + " - - [01/Dec/2026:10:00:00 +0000] \"GET " + request + " HTTP/1.1\" 200 5\n";
}

void write_file(const std::string &path, const std::string &content);
std::string read_file(const std::string &path);

struct RunResult {
    int status = -1; // exit status, or 128 + signal number
    std::string out;
    std::string err;
    bool operator==(const RunResult &) const = default;
};
// For a failed comparison: the status and both texts.
void PrintTo(const RunResult &result, std::ostream *os);

// size bytes drawn from alphabet, or uniformly from all 256 when it is empty.
std::string random_bytes(std::mt19937 &random, size_t size, const std::string &alphabet);

// Runs program with the arguments (no shell), in working_directory when it
// is not empty, with standard input read from input_file when that is not
// empty, and collects its standard output, standard error and status.
// POSIX builds only, as is server_stats below.
RunResult run_program(const std::string &program, const std::vector<std::string> &arguments,
                      const std::string &working_directory = "", const std::string &input_file = "");

// Runs body in a child process with its standard output and error
// captured; the child exits 0 if body returns. For checks that end the
// process. On POSIX the child is forked. Windows cannot fork, so there the
// test program runs again with only the current test selected, up to this
// call (earlier calls of the same test return an empty result there
// without running their body): a body may count on what the test did
// before the call, as long as the test does it again the same way.
RunResult run_in_child(const std::function<void()> &body);

// What a run printed, as a reader of its log would see it: the pool's
// self-overwriting progress lines (text ending in a carriage return) taken
// out, and every step time "[%10.4f secs]" shown as "[T]".
std::string printed_lines(const std::string &out);

// A cache file's text with the stamps from..to (the minutes of a run, as
// minute_stamp_now gives them) shown as "NOW", so that the lines of a
// run's lookups compare with fixed text.
std::string stamps_as_now(const std::string &cache, uint32_t from, uint32_t to);

// Query counts of the private DNS responder so far (netns-run tells its PID
// and stats file); empty outside netns-run.
std::map<std::string, long> server_stats();

// The bytes of an xz file (as xz writes it: one stream, a block with the
// LZMA2 filter alone) with the dictionary-size byte of its first block's
// filter properties set to dictionary_byte (40: 4 GiB - 1) and the block
// header's CRC32 made anew: a valid file whose header asks the decoder for
// that dictionary. Empty when xz's bytes are not laid out so.
std::string xz_with_dictionary_byte(const std::string &xz, unsigned char dictionary_byte);

// Starts the support library as the program does, with a fake command line
// whose first field is program_path.
void start_core_for_test(int flags, const char *program_path = "/opt/tarn/bin/tarn");

// The state a batch run starts from: the support library started, memory
// accounting reset, an empty host table and zeroed run counters. On the way
// out the table is emptied and destroyed, and every tracked block the test
// made must have been released.
class EngineTest : public testing::Test
{
  protected:
    void SetUp() override;
    void TearDown() override;
};

// An engine test whose address lookups go to a scripted resolver instead
// of the system's, from SetUp to TearDown.
class ScriptedEngineTest : public EngineTest
{
  protected:
    explicit ScriptedEngineTest(AddressResolver resolver) : resolver_(resolver) {}
    void SetUp() override;
    void TearDown() override;

  private:
    AddressResolver resolver_;
};
