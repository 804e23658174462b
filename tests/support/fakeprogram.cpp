// Stand-in for the programs next to the updater (Tavrix.exe, updateCurl.exe,
// ...). Tests copy it into a temporary installation folder under any name and
// script it with a text file next to it named "<its own file name>.fake", for
// example "Tavrix.exe.fake". Without that file it exits 0 doing nothing.
//
// One instruction per line, run in order; a line is the instruction word, one
// space, then the rest of the line as its argument. Empty lines and lines
// starting with '#' are skipped, a trailing '\r' is dropped.
//
//   record FILE      append "argc=N", then each argument (argv[0] excluded,
//                    N = their number) on its own line, then "--", to FILE
//   print-file FILE  copy FILE's bytes to standard output unchanged
//   print TEXT       write TEXT and '\n' to standard output
//   stderr TEXT      write TEXT and '\n' to standard error
//   sleep MS         sleep MS milliseconds
//   exit N           exit at once with code N
//
// Relative FILE names are resolved next to the program. Output is flushed
// after every instruction. After the last instruction it exits 0. An unknown
// instruction or a file that cannot be read or written prints a reason on
// standard error and exits 125.

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

const int FailureCode = 125;

[[noreturn]] void fail(const std::string &reason)
{
    std::fprintf(stderr, "fakeprogram: %s\n", reason.c_str());
    std::fflush(stderr);
    std::fflush(stdout);
    std::exit(FailureCode);
}

std::string ownPath(const char *argv0)
{
#ifdef _WIN32
    wchar_t wide[32768];
    const DWORD n = GetModuleFileNameW(nullptr, wide, 32768);
    if (n > 0 && n < 32768) {
        const int bytes = WideCharToMultiByte(CP_UTF8, 0, wide, int(n), nullptr, 0, nullptr, nullptr);
        std::string utf8(size_t(bytes), '\0');
        WideCharToMultiByte(CP_UTF8, 0, wide, int(n), &utf8[0], bytes, nullptr, nullptr);
        return utf8;
    }
#else
    char buffer[4096];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n > 0)
        return std::string(buffer, size_t(n));
#endif
    return argv0 ? std::string(argv0) : std::string();
}

std::string directoryOf(const std::string &path)
{
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

bool isAbsolute(const std::string &path)
{
#ifdef _WIN32
    return (path.size() > 1 && path[1] == ':') || (!path.empty() && (path[0] == '/' || path[0] == '\\'));
#else
    return !path.empty() && path[0] == '/';
#endif
}

#ifdef _WIN32
std::wstring wide(const std::string &utf8)
{
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), int(utf8.size()), nullptr, 0);
    std::wstring result(size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), int(utf8.size()), &result[0], n);
    return result;
}
std::FILE *openFile(const std::string &path, const char *mode)
{
    return _wfopen(wide(path).c_str(), wide(mode).c_str());
}
#else
std::FILE *openFile(const std::string &path, const char *mode)
{
    return std::fopen(path.c_str(), mode);
}
#endif

void writeAll(std::FILE *out, const std::string &data, const std::string &what)
{
    if (std::fwrite(data.data(), 1, data.size(), out) != data.size() || std::fflush(out) != 0)
        fail("cannot write " + what);
}

void record(const std::string &file, int argc, char **argv)
{
    std::string text = "argc=" + std::to_string(argc - 1) + "\n";
    for (int i = 1; i < argc; ++i)
        text += std::string(argv[i]) + "\n";
    text += "--\n";
    std::FILE *out = openFile(file, "ab");
    if (!out)
        fail("cannot open " + file);
    writeAll(out, text, file);
    if (std::fclose(out) != 0)
        fail("cannot close " + file);
}

void printFile(const std::string &file)
{
    std::FILE *in = openFile(file, "rb");
    if (!in)
        fail("cannot open " + file);
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0)
        writeAll(stdout, std::string(buffer, n), "standard output");
    const bool failed = std::ferror(in) != 0;
    std::fclose(in);
    if (failed)
        fail("cannot read " + file);
}

} // namespace

int main(int argc, char **argv)
{
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    const std::string self = ownPath(argc > 0 ? argv[0] : nullptr);
    const std::string dir = directoryOf(self);
    std::ifstream script(self + ".fake", std::ios::binary);
    if (!script)
        return 0;

    auto resolve = [&dir](const std::string &name) {
        return isAbsolute(name) ? name : dir + "/" + name;
    };

    std::string line;
    while (std::getline(script, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == '#')
            continue;
        const size_t space = line.find(' ');
        const std::string word = line.substr(0, space);
        const std::string arg = space == std::string::npos ? std::string() : line.substr(space + 1);

        if (word == "record") {
            record(resolve(arg), argc, argv);
        } else if (word == "print-file") {
            printFile(resolve(arg));
        } else if (word == "print") {
            writeAll(stdout, arg + "\n", "standard output");
        } else if (word == "stderr") {
            writeAll(stderr, arg + "\n", "standard error");
        } else if (word == "sleep") {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(arg.c_str())));
        } else if (word == "exit") {
            std::fflush(stdout);
            std::exit(std::atoi(arg.c_str()));
        } else {
            fail("unknown instruction: " + line);
        }
    }
    return 0;
}
