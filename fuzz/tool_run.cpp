// SPDX-License-Identifier: MIT
#include "tool_run.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <sanitizer/common_interface_defs.h>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "capture/capture_run.h"
#include "logfile/logfile.h"

int qb40tool_main(int argc, char** argv);  // the tool's main, renamed for this build

// The tool's .data and .bss, renamed by fuzz/CMakeLists.txt so that the
// linker brackets them with these symbols.
extern "C" char __start_qb40_data[], __stop_qb40_data[], __start_qb40_bss[], __stop_qb40_bss[];

// exit() of every object in the fuzzers is linked to __wrap_exit
// (-Wl,--wrap=exit); __real_exit is the C library's.
extern "C" [[noreturn]] void __real_exit(int status);

namespace {

std::jmp_buf* exit_target = nullptr;

// The tool's state as it stood before any of its code ran.
struct StateImage {
    std::vector<char> data, bss;
};

// The copies pass over ASan's redzones between the tool's globals, which no
// instrumented access may touch; and they are the harness's own work, not
// coverage.
__attribute__((no_sanitize("address", "coverage"))) void copy_bytes(volatile char* to, const volatile char* from, size_t n)
{
    for (size_t i = 0; i < n; i++)
        to[i] = from[i];
}

const StateImage& initial_state()
{
    static const StateImage image = [] {
        StateImage s;
        s.data.resize(__stop_qb40_data - __start_qb40_data);
        s.bss.resize(__stop_qb40_bss - __start_qb40_bss);
        copy_bytes(s.data.data(), __start_qb40_data, s.data.size());
        copy_bytes(s.bss.data(), __start_qb40_bss, s.bss.size());
        return s;
    }();
    return image;
}

void restore_initial_state()
{
    const StateImage& s = initial_state();
    copy_bytes(__start_qb40_data, s.data.data(), s.data.size());
    copy_bytes(__start_qb40_bss, s.bss.data(), s.bss.size());
}

std::filesystem::path scratch;

// Standard output and error into a memory file while it lives. Sanitizer
// reports keep going to the fuzzer's own standard error, taken aside once.
class ConsoleCapture {
public:
    ConsoleCapture()
    {
        static const int memory = [] {
            int reports = dup(2);
            if (reports >= 0)
                __sanitizer_set_report_fd(reinterpret_cast<void*>(static_cast<intptr_t>(reports)));
            return memfd_create("qb40fuzz-console", MFD_CLOEXEC);
        }();
        memory_ = memory;
        std::fflush(stdout);
        std::fflush(stderr);
        saved_out_ = dup(1);
        saved_err_ = dup(2);
        if (memory_ < 0 || saved_out_ < 0 || saved_err_ < 0 || ftruncate(memory_, 0) != 0 ||
            lseek(memory_, 0, SEEK_SET) != 0 || dup2(memory_, 1) < 0 || dup2(memory_, 2) < 0) {
            std::perror("console capture");
            std::abort();
        }
    }
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;
    ~ConsoleCapture() { restore(); }

    // Everything written since the capture began; the console is the fuzzer's again.
    std::string text()
    {
        restore();
        std::string all;
        char buffer[4096];
        off_t at = 0;
        for (ssize_t n; (n = pread(memory_, buffer, sizeof buffer, at)) > 0; at += n)
            all.append(buffer, static_cast<size_t>(n));
        return all;
    }

private:
    void restore()
    {
        if (saved_out_ < 0)
            return;
        std::fflush(stdout);
        std::fflush(stderr);
        dup2(saved_out_, 1);
        dup2(saved_err_, 2);
        close(saved_out_);
        close(saved_err_);
        saved_out_ = saved_err_ = -1;
    }

    int memory_ = -1;
    int saved_out_ = -1;
    int saved_err_ = -1;
};

}  // namespace

extern "C" [[noreturn]] void __wrap_exit(int status)
{
    if (std::jmp_buf* target = exit_target) {
        exit_target = nullptr;
        std::longjmp(*target, status + 1);  // 0 is reserved for setjmp's own return
    }
    __real_exit(status);
}

namespace qbfuzz {

int run_tool(const std::function<int()>& body)
{
    // Only the tool's files, never libFuzzer's, are relative to the scratch directory.
    int started_in = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (started_in < 0 || chdir(scratch.c_str()) != 0) {
        std::perror(scratch.c_str());
        std::abort();
    }
    restore_initial_state();
    std::jmp_buf target;
    int status;
    // The tool keeps nothing that needs unwinding: no destructor is skipped.
    if (int jumped = setjmp(target)) {
        status = jumped - 1;
    } else {
        exit_target = &target;
        status = body();
    }
    exit_target = nullptr;
    // Runs that end through exit() leave the log open, as a process would;
    // the capture is written at the process's exit.
    CaptureEnd();
    CloseLogFile();
    std::fflush(stdout);
    if (fchdir(started_in) != 0)
        std::abort();
    close(started_in);
    return status;
}

int run_main(const std::vector<std::string>& args, std::string* console)
{
    std::vector<std::string> words = {"qb40tool"};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    auto main = [&] { return qb40tool_main(static_cast<int>(words.size()), argv.data()); };
    if (!console)
        return run_tool(main);
    ConsoleCapture capture;
    const int status = run_tool(main);
    *console = capture.text();
    return status;
}

void expect_tool_status(int status)
{
    static constexpr int kStatuses[] = {0, 1, 3, 4, 5, 6, 7, 0xAB, 0xAC};
    for (int s : kStatuses)
        if (s == status)
            return;
    std::fprintf(stderr, "qb40tool ended with status %d, which it does not define\n", status);
    std::abort();
}

void expect_absent(const std::string& secret, const std::string& text, const char* where)
{
    if (text.find(secret) == std::string::npos)
        return;
    std::fprintf(stderr, "qb40tool wrote the secret \"%s\" to %s\n", secret.c_str(), where);
    std::abort();
}

void use_scratch_directory(const char* name, int* argc, char*** argv)
{
    std::string templ = (std::filesystem::temp_directory_path() / (std::string(name) + ".XXXXXX")).string();
    if (!mkdtemp(templ.data())) {
        std::perror(templ.c_str());
        std::abort();
    }
    scratch = templ;
    std::atexit([] {
        std::error_code ec;
        std::filesystem::remove_all(scratch, ec);
    });

    static std::vector<char*> args((*argv), (*argv) + *argc);
    static std::string prefix = "-artifact_prefix=" + std::filesystem::current_path().string() + "/";
    for (char* arg : args)
        if (std::strncmp(arg, "-artifact_prefix=", 17) == 0)
            return;
    args.insert(args.begin() + 1, prefix.data());
    args.push_back(nullptr);
    *argc = static_cast<int>(args.size() - 1);
    *argv = args.data();
}

const std::filesystem::path& scratch_directory() { return scratch; }

}  // namespace qbfuzz
