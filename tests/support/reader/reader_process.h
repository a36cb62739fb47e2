// The emulated reader served from a process of its own, for clients that
// open and close the node in tight loops (the benchmarks): umockdev's preload
// library is not safe when the emulation and a client open and close
// descriptors on two threads of one process.
//
// start() builds the reader and forks. The parent keeps the reader and
// answers its node until the child exits, then exits with the child's
// status; only the child returns from start(), and it reaches the reader's
// counters and sysfs through a pair of pipes.
#ifndef LUMORA_FAKE_READER_PROCESS_H
#define LUMORA_FAKE_READER_PROCESS_H

#include <string>

#include "fake_reader.h"

namespace lumora_fake {

class reader_process {
public:
    explicit reader_process(const reader_options& options);
    ~reader_process();
    reader_process(const reader_process&) = delete;
    reader_process& operator=(const reader_process&) = delete;

    // Returns only in the child. False (with a line on standard error) when
    // the reader could not be built or the process not split.
    bool start();

    std::string node_path() const { return m_node; }
    bool set_other_devices(int count);
    void reset_counters();
    reader_counters counters();

private:
    struct reply;
    bool ask(char command, int arg, reply* out);
    [[noreturn]] void serve(int commands, int replies, int child);

    reader_options m_options;
    fake_reader* m_reader;  // the parent's; abandoned, never destroyed, in the child
    std::string m_node;
    int m_commands;  // child: write end of the command pipe
    int m_replies;   // child: read end of the reply pipe
};

} // namespace lumora_fake

#endif
