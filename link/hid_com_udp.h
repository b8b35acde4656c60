// HidComUdp: the WiFi transport. One frame per UDP datagram, both ways.
//
// The vest is found by a broadcast Discover on every up IPv4 interface and
// five ports, taken for this host with Bind, and released with Unbind. Once a
// vest is chosen the transport accepts datagrams only from that vest's
// address and port; during a discovery it accepts only well-formed Discover
// answers. Everything else is dropped.
//
// A hostile host may answer a Discover from many addresses and ports: a
// discovery keeps one candidate per address and port, at most
// kMaxCandidates, and asks them all side by side, so that candidates that
// stay silent cost one answer time-out together rather than one each. A
// whole scan or connect ends after LinkTimings::searchSeconds in any case.
//
// Thread-safety: as IHidCom. `device` is written only by connect() (before
// send() and receive() may run on two threads) and read afterwards.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "link/hid_com.h"
#include "link/link_timings.h"
#include "link/log_throttle.h"
#include "platform/poll.h"
#include "platform/udp_socket.h"

class HidComUdp : public IHidCom {
public:
    static constexpr std::array<uint16_t, 5> kDiscoveryPorts{33624, 42192, 17956, 2601, 555};
    static constexpr std::size_t kMaxCandidates = 64; // well above a home network's vests

    HidComUdp();
    explicit HidComUdp(const LinkTimings& timings);
    ~HidComUdp() override;

    // 0, or -11 when connected.
    int32_t scan(std::vector<trv_device_info_t>& records, std::map<uint32_t, std::string>& addresses,
                 std::vector<std::string>& strings) override;
    // 0 connected (also when already connected), -6 no vest taken.
    int32_t connect(uint32_t serialNumber, std::string deviceString) override;
    // -3 when not connected, else the result of releasing the vest (0 or negative).
    int32_t disconnect() override;
    int32_t send(const uint8_t* frame, int32_t length) override;
    int32_t receive() override;
    void cancel() noexcept override;

    // The address text of an endpoint: "a.b.c.d:port".
    static std::string addressText(const Ipv4Endpoint& endpoint);
    // The endpoint of an address text made by addressText(); nothing for any
    // other text. Never throws.
    static std::optional<Ipv4Endpoint> parseAddressText(const std::string& text) noexcept;

    // Datagrams of the vest that were not valid messages, and datagrams of
    // any other sender, since construction. Any thread.
    uint64_t rejectedDatagrams() const noexcept { return rejectedDatagrams_; }
    uint64_t foreignDatagrams() const noexcept { return foreignDatagrams_; }

private:
    int32_t checkAnswer(std::size_t byteCount);
    // Counts a rejected datagram of the vest; its error lines are written
    // at most once a second per reason. Always -10.
    int32_t reject(LogThrottle& throttle, const char* first, const char* second);
    // Counts a datagram of another sender; one trace line a second at most.
    void dropForeign(LogThrottle& throttle, const Ipv4Endpoint& from, const char* during);
    // Writes the counts the reader's throttles hold back: those whose
    // second ended, or all of them (the reader stops).
    void flushReaderLogs(bool all) noexcept;
    // Reads one datagram without waiting: its table length, 0, -10 or -6.
    int32_t receiveNow();
    // Sends a request and waits for its answer (0, the answer in
    // answerBuffer); -6 time-out, -10 an error answer, or send's code. Other
    // messages meanwhile do not end the wait (see holdIfUnasked). An
    // error answer "invalid internal state" (old firmware, not bound) leads
    // to one Bind and one more try when forcedBindAllowed.
    int32_t sendAndWait(const uint8_t* frame, int32_t length, uint8_t expectedId,
                        bool forcedBindAllowed = true, bool withinSearch = true);
    // Waits up to `seconds` for a datagram; false at once after cancel().
    bool waitForDatagram(float seconds);
    // Starts the time of a scan or connect; whether it has run out.
    void startSearch();
    bool searchOver() const;
    // Releases the vest when it is bound: 0 when not bound or it answered.
    int32_t unbind();
    void discover(std::vector<std::string>& found);
    void listBroadcastAddresses(std::vector<std::string>& out);
    void collectAnswers(std::vector<std::string>& found);
    void drainStaleDatagrams();
    int32_t socketError(int error);

    // The requests put to one candidate, one after another, while the
    // other candidates are asked the same at the same time.
    struct Exchange {
        Ipv4Endpoint endpoint;
        std::string text; // its address text
        std::vector<HidCommandId> requests;
        std::size_t next = 0; // the request being asked
        // An answer "invalid internal state" (old firmware, not bound) leads
        // to one Bind and one more try of that request.
        bool forcedBindAllowed = true;
        bool retried = false; // the request being asked follows a forced Bind
        bool binding = false; // a forced Bind is being asked
        bool bound = false;   // a forced Bind was answered
        bool failed = false;  // no answer in time, an error answer, or cancelled
        bool done = false;    // every request answered
        std::chrono::steady_clock::time_point deadline{};
        // What it answered.
        uint32_t serialNumber = 0;
        std::string version;
        uint32_t deviceTypeCode = 0;
        // Slot statuses it sent meanwhile: the reader's if it becomes the vest.
        std::vector<std::vector<uint8_t>> heldStatuses;
    };
    static std::vector<Exchange> exchangesWith(const std::vector<std::string>& found,
                                               std::vector<HidCommandId> requests);
    // Asks every exchange its requests until each is answered, failed, timed
    // out (answerTimeoutSeconds per request; within the search unless
    // withinSearch is false) or the transport is cancelled. The slot
    // statuses of `vest` (when not null) meanwhile are kept for receive().
    void runExchanges(std::vector<Exchange>& exchanges, bool withinSearch, const Ipv4Endpoint* vest);
    void askNext(Exchange& exchange, bool withinSearch);
    void takeAnswer(Exchange& exchange, std::size_t length, bool withinSearch);
    // Reads one datagram for the exchanges: false when none was waiting.
    bool readForExchanges(std::vector<Exchange>& exchanges, bool withinSearch, const Ipv4Endpoint* vest);
    // Unbinds, side by side, the exchanges that a forced Bind bound.
    void releaseExchanges(std::vector<Exchange>& exchanges, const Ipv4Endpoint* vest);

    const LinkTimings timings_;
    // The vest at `device` accepted a Bind from this transport and no Unbind
    // has been tried since. Written only by connect, scan and disconnect.
    bool bound = false;
    // The vest's address: where every send goes, and the only sender whose
    // datagrams receive() accepts.
    Ipv4Endpoint device;
    // A hostile host may send datagrams as fast as it likes: they are
    // counted, and their lines throttled. The reader's throttles belong to
    // the thread in receive() (or in connect, scan and disconnect), the
    // discovery's to its collector thread.
    std::atomic<uint64_t> rejectedDatagrams_{0};
    std::atomic<uint64_t> foreignDatagrams_{0};
    LogThrottle invalidLog_, incompleteLog_, tooLongLog_, foreignLog_;
    LogThrottle oldFirmwareLog_, forcedBindLog_; // error answers to the requests of a scan or connect
    LogThrottle malformedDiscoveryLog_, surplusDiscoveryLog_;
    std::chrono::steady_clock::time_point searchDeadline_{}; // of the running scan or connect
    Waker cancelWaker_; // wakes the waits of a scan or connect for cancel()
    UdpSocket socket;
};
