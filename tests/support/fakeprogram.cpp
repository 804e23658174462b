// Stand-in for the programs beside the updater: runs the script "<its own
// path>.fake", one instruction a line, then exits 0. "record FILE" appends
// "argc=N", the arguments one a line, and "--" to FILE; "print-file FILE",
// "sleep MS" and "exit N" do what they say. FILE is beside the program.

#include <chrono>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>

int main(int argc, char **argv)
{
    const std::string self = argv[0], dir = self.substr(0, self.find_last_of("/\\") + 1);
    std::ifstream script(self + ".fake");
    for (std::string word, arg; script >> word >> arg; std::cout.flush()) {
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
        } else if (word == "sleep") {
            std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(arg)));
        } else if (word == "exit") {
            return std::stoi(arg);
        }
    }
}
