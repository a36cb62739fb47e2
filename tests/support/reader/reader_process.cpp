#include "reader_process.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace lumora_fake {

namespace {

// The whole of len bytes through fd, across short transfers and EINTR; `step`
// is read or write.
template <typename Step>
bool move_all(int fd, char* p, size_t len, Step step)
{
    while (len > 0) {
        ssize_t n = step(fd, p, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        len -= size_t(n);
    }
    return true;
}

bool write_all(int fd, const void* data, size_t len)
{
    return move_all(fd, static_cast<char*>(const_cast<void*>(data)), len,
                    [](int f, char* b, size_t n) { return write(f, b, n); });
}

bool read_all(int fd, void* data, size_t len)
{
    return move_all(fd, static_cast<char*>(data), len,
                    [](int f, char* b, size_t n) { return read(f, b, n); });
}

struct command {
    char what;  // 'o' other devices, 'r' reset counters, 'c' counters
    int arg;
};

// The child's reader, kept reachable: its threads live in the parent only,
// so it must never be destroyed here.
fake_reader* volatile g_abandoned = nullptr;

} // namespace

struct reader_process::reply {
    int ok;
    reader_counters counters;
};

reader_process::reader_process(const reader_options& options)
    : m_options(options), m_reader(nullptr), m_commands(-1), m_replies(-1)
{
}

reader_process::~reader_process()
{
    if (m_commands >= 0)
        close(m_commands);
    if (m_replies >= 0)
        close(m_replies);
}

bool reader_process::start()
{
    m_reader = new fake_reader(m_options);
    if (!m_reader->ok()) {
        fprintf(stderr, "emulated reader: %s\n", m_reader->error().c_str());
        delete m_reader;
        m_reader = nullptr;
        return false;
    }
    m_node = m_reader->node_path();
    int commands[2], replies[2];
    if (pipe(commands) != 0)
        return false;
    if (pipe(replies) != 0) {
        close(commands[0]);
        close(commands[1]);
        return false;
    }
    fflush(stdout);
    fflush(stderr);
    pid_t child = fork();
    if (child < 0) {
        perror("emulated reader: fork");
        for (int fd : {commands[0], commands[1], replies[0], replies[1]})
            close(fd);
        return false;
    }
    if (child > 0) {
        close(commands[1]);
        close(replies[0]);
        serve(commands[0], replies[1], child);
    }
    close(commands[0]);
    close(replies[1]);
    m_commands = commands[1];
    m_replies = replies[0];
    g_abandoned = m_reader;
    m_reader = nullptr;
    return true;
}

void reader_process::serve(int commands, int replies, int child)
{
    command c;
    while (read_all(commands, &c, sizeof c)) {
        reply r = {1, reader_counters()};
        if (c.what == 'o')
            r.ok = m_reader->set_other_devices(c.arg) ? 1 : 0;
        else if (c.what == 'r')
            m_reader->reset_counters();
        else
            r.counters = m_reader->counters();
        if (!write_all(replies, &r, sizeof r))
            break;
    }
    close(commands);
    close(replies);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    delete m_reader;  // removes the testbed's folder
    fflush(stdout);
    fflush(stderr);
    if (WIFEXITED(status))
        _exit(WEXITSTATUS(status));
    _exit(128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0));
}

bool reader_process::ask(char what, int arg, reply* out)
{
    if (m_commands < 0)
        return false;
    command c = {what, arg};
    return write_all(m_commands, &c, sizeof c) && read_all(m_replies, out, sizeof *out) &&
           out->ok;
}

bool reader_process::set_other_devices(int count)
{
    reply r;
    return ask('o', count, &r);
}

void reader_process::reset_counters()
{
    reply r;
    ask('r', 0, &r);
}

reader_counters reader_process::counters()
{
    reply r;
    return ask('c', 0, &r) ? r.counters : reader_counters();
}

} // namespace lumora_fake
