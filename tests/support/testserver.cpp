// testserver --root DIR --port N: serves the files below DIR on 127.0.0.1
// until killed, and prints "listening on http://127.0.0.1:N" once it can.

#include <httplib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char **argv)
{
    if (argc != 5 || std::strcmp(argv[1], "--root") != 0 || std::strcmp(argv[3], "--port") != 0) {
        std::fprintf(stderr, "usage: testserver --root DIR --port N\n");
        return 2;
    }
    httplib::Server server;
    if (!server.set_mount_point("/", argv[2]) || !server.bind_to_port("127.0.0.1", std::atoi(argv[4]))) {
        std::fprintf(stderr, "testserver: cannot serve %s on port %s\n", argv[2], argv[4]);
        return 1;
    }
    std::printf("listening on http://127.0.0.1:%s\n", argv[4]);
    std::fflush(stdout);
    return server.listen_after_bind() ? 0 : 1;
}
