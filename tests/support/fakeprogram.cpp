// Stand-in for the programs beside the updater: runs the script
// "<its own path>.fake", one instruction a line, then exits 0:
//   record FILE / print-file FILE / print TEXT / sleep MS / exit N
// "record" appends "argc=N", the arguments one a line, and "--" to FILE.
// FILE is relative to the program's folder.

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

int main(int argc, char **argv)
{
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
    const std::string self = argv[0], dir = self.substr(0, self.find_last_of("/\\") + 1);
    std::ifstream script(self + ".fake");
    for (std::string line; std::getline(script, line); std::cout.flush()) {
        const std::string word = line.substr(0, line.find(' '));
        const std::string arg = line.size() > word.size() ? line.substr(word.size() + 1) : std::string();
        if (word == "record") {
            std::ofstream out(dir + arg, std::ios::app | std::ios::binary);
            out << "argc=" << argc - 1 << '\n';
            for (int i = 1; i < argc; ++i)
                out << argv[i] << '\n';
            out << "--\n";
        } else if (word == "print-file") {
            std::ifstream in(dir + arg, std::ios::binary);
            if (in.peek() != EOF)
                std::cout << in.rdbuf();
        } else if (word == "print") {
            std::cout << arg << '\n';
        } else if (word == "sleep") {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::atol(arg.c_str())));
        } else if (word == "exit") {
            std::cout.flush();
            return std::atoi(arg.c_str());
        }
    }
}
