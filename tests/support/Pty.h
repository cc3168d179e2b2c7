#pragma once

#include <string>
#include <string_view>

namespace kelmor::test {

// A pseudo-terminal whose master side plays the instrument.
class Pty {
public:
    Pty();
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    const std::string& slavePath() const { return slave_; }
    void write(std::string_view bytes);
    // Whatever the program has written so far; never blocks.
    std::string read();
    void closeMaster();
    static int masterFd(const Pty& pty) { return pty.master_; }

private:
    int master_ = -1;
    std::string slave_;
};

// Binds "Comm N" to a device through the link folder under configHome.
void bindPort(const std::string& configHome, int port, const std::string& device);

// Gives every port 1 to 15 a link pointing nowhere, so that nothing a test
// does can reach the machine's own serial devices; bind the ones in use after.
void guardPorts(const std::string& configHome);

// Unplugs the device behind "Comm N": closes the pseudo-terminal and points
// the link nowhere, as a vanished adapter's by-id link does. (The freed
// /dev/pts number may at once belong to another test's pseudo-terminal.)
void unplug(Pty& pty, const std::string& configHome, int port);

} // namespace kelmor::test
