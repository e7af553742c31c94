// Program entry: start the support library, read the command line, and run
// each requested job once in a fixed order.
//
// Exit status: 0 when every requested job succeeded (and for the usage
// text), 75 (EX_TEMPFAIL) when the only failures were batch runs that
// found their lock held by another program, 2 when the command line was
// refused or any job failed otherwise, 1 only from the fatal reports of the
// support library. Scripts and schedulers rely on a failed run not looking
// like a successful one, and on a held lock telling them to try later.
#include "basalt-core.h"
#include "basalt-str.h"
#include "cmdline.h"
#include "lookup_config.h"
#include "lookup_lock.h"
#include "lookup_runs.h"
#include "lookup_single.h"
#include "lookup_table.h"
#include "platform.h"
#include "socket.h"

#include <cstring>

namespace
{

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAILED = 2;
constexpr int EXIT_LOCK_HELD = 75;

// How the jobs went: failures, and of the failed batch runs those that
// found their lock held.
struct JobTally {
    int failed = 0;
    int held = 0;
};

// Counts one job; refusals_before: run_lock_refusals() before it ran.
void count_job(JobTally &tally, int succeeded, int32_t refusals_before)
{
    if (succeeded == 1)
        return;
    if (run_lock_refusals() > refusals_before)
        ++tally.held;
    else
        ++tally.failed;
}

int tally_status(const JobTally &tally)
{
    if (tally.failed > 0)
        return EXIT_FAILED;
    return tally.held > 0 ? EXIT_LOCK_HELD : EXIT_OK;
}

// /A or /N: prints the answer, or says that there was none; 1 on an answer.
int single_lookup(int (*lookup)(const char *, char (&)[RESULT_TEXT_SIZE]), const char *text)
{
    char result[RESULT_TEXT_SIZE];
    if (lookup(text, result) == 1) {
        out_result("%s\n", result);
        return 1;
    }
    out_print("Unable to resolve '%s'\n", text);
    return 0;
}

RunExtras extras_of(const LookupOptions &options)
{
    return {.periods_given = options.periods_given,
            .good_hours = options.good_hours,
            .bad_hours = options.bad_hours,
            .webalizer_file = options.webalizer_file};
}

// /R: the logs of /L written out with names, with the cache of /D if given.
int run_resolve_job(const LookupOptions &options)
{
    if (checked_length(options.log_file) == 0) {
        out_print("Option /R needs /L: the logs to write out with names\n");
        return 0;
    }
    const bool has_cache = checked_length(options.dns_file) > 0;
    if (!has_cache && checked_length(options.webalizer_file) > 0) {
        out_print("Option /W needs /D or /G: the cache whose names it writes\n");
        return 0;
    }
    return run_resolve_logs(options.log_file, has_cache ? options.dns_file : nullptr, options.lock_file,
                            options.output_file, options.thread_count, options.flags, extras_of(options));
}

// Runs the jobs the options ask for, in the fixed order, and gives the
// exit status. A failing job has printed its own message; the next job
// runs all the same.
int run_jobs(const LookupOptions &options)
{
    JobTally tally;
    if (checked_length(options.lookup_address) > 0)
        count_job(tally, single_lookup(lookup_by_address, options.lookup_address), run_lock_refusals());
    if (checked_length(options.lookup_name) > 0)
        count_job(tally, single_lookup(lookup_by_name, options.lookup_name), run_lock_refusals());
    int32_t refusals = run_lock_refusals();
    const RunExtras extras = extras_of(options);
    if (checked_length(options.config_file) > 0)
        count_job(tally, run_analog_config(options.config_file, options.thread_count, options.flags, extras), refusals);
    refusals = run_lock_refusals();
    if (checked_length(options.output_file) > 0)
        count_job(tally, run_resolve_job(options), refusals);
    else if (checked_length(options.log_file) > 0)
        count_job(tally,
                  run_log_files(options.log_file, options.dns_file, options.lock_file, options.thread_count,
                                options.flags, extras),
                  refusals);
    else if (checked_length(options.dns_file) > 0)
        count_job(tally,
                  run_cache_file(options.dns_file, options.lock_file, options.thread_count, options.flags, extras),
                  refusals);
    return tally_status(tally);
}

// Too little for a job (no argument, or one that is no option word): the
// usage text, unless the one field asks for a text of its own. Only a field
// that asks for a text succeeds, so that a script running "tarn /G"
// without its value hears of it. true, with the exit status, when so.
bool too_little_for_a_job(const char *command_line, int *status)
{
    char field[FIELD_TEXT_SIZE];
    const bool one_field = field_count(command_line) == 1 && field_copy(command_line, 1, field) == 1;
    if (field_count(command_line) >= 1 && !(one_field && is_option_word(field) == 0))
        return false;
    if (!one_field || show_long_option(field) == 0)
        show_usage();
    const bool asked = !one_field || is_usage_request(field) == 1 || std::strcmp(field, "--version") == 0;
    *status = asked ? EXIT_OK : EXIT_FAILED;
    return true;
}

int run_program()
{
    char command_line[PATH_TEXT_SIZE];
    if (checked_copy(command_line, platform_command_line()) == 0) {
        out_print("The command line is too long (%zu characters, at most %d)\n", std::strlen(platform_command_line()),
                  PATH_TEXT_SIZE - 1);
        return EXIT_FAILED;
    }
    int usage_status = EXIT_OK;
    if (too_little_for_a_job(command_line, &usage_status))
        return usage_status;

    LookupOptions *options = nullptr;
    options_create(&options);
    int usage_requested = 0;
    if (parse_command_line(options, command_line, &usage_requested) == 0) {
        options_destroy(&options);
        return usage_requested ? EXIT_OK : EXIT_FAILED;
    }
    if ((options->flags & QUIET_RUN) != 0)
        core_set_output_flags(core_output_flags() | OUT_QUIET);
    // A resolved log on standard output leaves it to the log alone.
    if (std::strcmp(options->output_file, STANDARD_STREAM_NAME) == 0)
        core_set_output_flags(core_output_flags() | OUT_STDERR);
    socket_set_confirm_names((options->flags & CONFIRM_NAMES) != 0 ? 1 : 0);
    show_banner();
    // A failed start-up has printed why; each resolution then fails by itself.
    socket_startup();
    host_table_create();
    const int status = run_jobs(*options);
    host_table_destroy();
    socket_cleanup();
    options_destroy(&options);
    return status;
}

} // namespace

int main(int argc, char **argv)
{
    const int quoted_argument = platform_set_command_line(argc, argv);
    platform_install_signal_handlers();
    core_startup("debug.log", OUT_CONSOLE);
    core_install_fatal_handlers();
    memory_init(QUICK_POOL_SIZE);
    int status = EXIT_FAILED;
    if (quoted_argument != 0)
        out_print("Command line argument %d holds a double quote, which is not allowed\n", quoted_argument);
    else
        status = run_program();
    memory_remove();
    core_shutdown();
    return status;
}
