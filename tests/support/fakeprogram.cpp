// Stand-in for the programs beside the updater: runs the script "<its own
// path>.fake", one instruction a line, then exits 0. "record FILE" appends
// "argc=N", the arguments one a line (UTF-8), and "--" to FILE beside the
// program; "print TEXT", "sleep MS" and "exit N" do what they say.

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

#ifdef _WIN32
int wmain(int argc, wchar_t** wide) // the narrow argv holds only what the code page can spell
{
    std::vector<std::string> argv;
    for (int i = 0; i < argc; ++i)
        argv.push_back(fs::path(wide[i]).u8string());
#else
int main(int argc, char** narrow)
{
    const std::vector<std::string> argv(narrow, narrow + argc);
#endif
    const fs::path self = fs::u8path(argv[0]), dir = self.parent_path();
    std::ifstream script(fs::path(self) += ".fake");
    for (std::string word, arg; script >> word >> arg;) {
        if (word == "record") {
            std::ofstream out(dir / fs::u8path(arg), std::ios::app | std::ios::binary);
            out << "argc=" << argc - 1 << '\n';
            for (int i = 1; i < argc; ++i)
                out << argv[i] << '\n';
            out << "--\n";
        } else if (word == "print") {
            std::cout << arg << std::flush;
        } else if (word == "sleep") {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(arg)));
        } else if (word == "exit") {
            return std::stoi(arg);
        }
    }
    return 0;
}
