// Test helpers for a device the test user may not open: a child process as user nobody, fields over a pipe.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

namespace commtest {

constexpr unsigned NobodyId = 65534;

// Runs body in a child that has given up root for uid and gid 65534 with no supplementary groups,
// and returns what body returned. False when the child could not be made or could not drop root.
inline bool RunAsNobody(const std::function<std::string()>& body, std::string& out)
{
    int fds[2];
    if (pipe(fds) != 0) return false;
    const pid_t pid = fork();
    if (pid < 0) {
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    if (pid == 0) {
        close(fds[0]);
        if (setgroups(0, nullptr) != 0 || setresgid(NobodyId, NobodyId, NobodyId) != 0 ||
            setresuid(NobodyId, NobodyId, NobodyId) != 0 || geteuid() != NobodyId)
            _exit(3);
        const std::string text = body();
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = write(fds[1], text.data() + done, text.size() - done);
            if (n <= 0) _exit(4);
            done += static_cast<std::size_t>(n);
        }
        _exit(0);
    }
    close(fds[1]);
    out.clear();
    char buffer[4096];
    for (;;) {
        const ssize_t n = read(fds[0], buffer, sizeof buffer);
        if (n > 0) out.append(buffer, static_cast<std::size_t>(n));
        else if (n == 0 || errno != EINTR) break;
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Fields joined with NUL bytes, and split again.
inline std::string JoinFields(const std::vector<std::string>& fields)
{
    std::string out;
    for (const std::string& f : fields) {
        out += f;
        out += '\0';
    }
    return out;
}

inline std::vector<std::string> SplitFields(const std::string& text)
{
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\0') {
            fields.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    return fields;
}

} // namespace commtest
