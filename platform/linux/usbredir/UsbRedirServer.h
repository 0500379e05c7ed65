// Serves USB devices (UsbDeviceSide) to a virtual machine over the usbredir protocol: each
// device listens on its own UNIX socket, and the machine's usb-redir device connects to it
// as a client. One thread serves every socket in a poll loop.
//
// Per connection the server speaks as the side that owns the device: it announces the
// device (endpoints, interfaces, then the connect with speed, ids and release) once the
// peer said hello, passes control and bulk transfers to it and sends back what it
// completes. When the device leaves the bus it sends a disconnect, waits for the peer to
// acknowledge it (when the peer can), and announces the device again once it is back. A
// device that left while it still had a command's status to send gets up to
// kAnswerGraceMs to have it fetched first, as a device that resets on a command answers
// that command before it drops off.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/UsbDeviceSide.h"

namespace vq {

class UsbRedirServer {
  public:
    // The answer grace is timed on `clock`.
    UsbRedirServer(std::ostream& log, Clock& clock, bool verbose = false);
    ~UsbRedirServer();
    UsbRedirServer(const UsbRedirServer&) = delete;
    UsbRedirServer& operator=(const UsbRedirServer&) = delete;

    // Listens for the device on a UNIX socket (a stale socket file is replaced). Empty,
    // else why it cannot.
    std::string listen(const std::string& socketPath, std::shared_ptr<UsbDeviceSide> device);
    // Serves until stop() or SIGINT/SIGTERM; `turn` runs at least every `tickMs` before
    // the devices are looked at. Returns 0, or 3 when the loop failed.
    int run(const std::function<void()>& turn, int tickMs = 10);
    // One round of the loop: waits up to `tickMs` for the sockets, serves them, runs
    // `turn` and looks at the devices. False when the loop cannot go on.
    bool serveOnce(const std::function<void()>& turn, int tickMs);

    static constexpr int kAnswerGraceMs = 200;
    void stop() { stop_ = true; }

    struct Link;

  private:
    void accept(Link& link);
    void close(Link& link);
    void look(Link& link);

    std::ostream& log_;
    Clock& clock_;
    bool verbose_;
    std::atomic<bool> stop_{false};
    std::vector<std::unique_ptr<Link>> links_;
};

}  // namespace vq
