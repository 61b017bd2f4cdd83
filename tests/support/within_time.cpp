#include "support/within_time.h"

#include <cerrno>
#include <cstdio>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

namespace moc_test {

std::optional<std::string> ReturnedWithin(const std::function<std::string()>& call,
                                          std::chrono::milliseconds limit) {
    int fds[2];
    if (::pipe(fds) != 0)
        return std::nullopt;
    std::fflush(nullptr);
    const pid_t child = ::fork();
    if (child < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return std::nullopt;
    }
    if (child == 0) {
        ::close(fds[0]);
        const std::string text = call();
        size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = ::write(fds[1], text.data() + done, text.size() - done);
            if (n <= 0)
                ::_exit(2);
            done += static_cast<size_t>(n);
        }
        ::_exit(0);
    }
    ::close(fds[1]);
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::string text;
    bool ended = false;
    while (!ended) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{fds[0], POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        char buffer[4096];
        const ssize_t n = ::read(fds[0], buffer, sizeof(buffer));
        if (n > 0)
            text.append(buffer, static_cast<size_t>(n));
        else if (n == 0 || errno != EINTR)
            ended = true;
    }
    ::close(fds[0]);
    if (!ended)
        ::kill(child, SIGKILL);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!ended || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return std::nullopt;
    return text;
}

} // namespace moc_test
