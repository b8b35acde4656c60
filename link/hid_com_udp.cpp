#include "link/hid_com_udp.h"

#include <algorithm>
#include <chrono>
#include <charconv>
#include <cstring>
#include <system_error>
#include <thread>
#include <utility>

#include "platform/network_interfaces.h"
#include "platform/socket_error.h"
#include "sdk/errors.h"
#include "sdk/log.h"

namespace {

constexpr const char* kTag = "WIFIStandalone";
// A flood of foreign datagrams must not keep a reader busy for ever.
constexpr int kMaxDatagramsPerRead = 64;
constexpr int kMaxStaleDatagrams = 256;
constexpr uint8_t kOldFirmwareError = 0xF9; // -7, invalid internal state

constexpr LogCountLine kInvalidCount{TRV_LOG_ERROR, kTag, "", " more datagrams were rejected as invalid."};
constexpr LogCountLine kIncompleteCount{TRV_LOG_ERROR, kTag, "", " more datagrams were rejected as incomplete."};
constexpr LogCountLine kTooLongCount{TRV_LOG_ERROR, kTag, "", " more datagrams were rejected as too long."};
constexpr const char* kOldFirmwareText = "Firmware prior 1.3.3 detected, an update is advised.";
constexpr const char* kForcedBindFailedText = "Forced bind failed";

using Clock = std::chrono::steady_clock;

float secondsSince(Clock::time_point start) {
    return static_cast<float>(
               std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count()) /
           1e9f;
}

const char* kNotAvailableHints =
    " If it was expected to connect, make sure that: \n\t - the board is turned on.\n\t - it is set to "
    "use WiFi.\n\t - the WiFi settings are configured on the board.\n\t - it is connected to the WiFi "
    "and not still trying to connect to it.\n\t - the device is not already in use by another "
    "application.";
const char* kNoDeviceText =
    "No device is available over WiFi. If it was expected to connect to one, make sure that: \n\t - "
    "the board is turned on.\n\t - it is set to use WiFi.\n\t - the WiFi settings are configured on "
    "the board.\n\t - it is connected to the WiFi and not still trying to connect to it.\n\t - the "
    "device is not already in use by another application.";

} // namespace

HidComUdp::HidComUdp() : HidComUdp(processLinkTimings()) {}

HidComUdp::HidComUdp(const LinkTimings& timings)
    : timings_(timings), invalidLog_(kInvalidCount), incompleteLog_(kIncompleteCount), tooLongLog_(kTooLongCount),
      foreignLog_({TRV_LOG_TRACE, kTag, "Dropped ", " more datagrams."}),
      oldFirmwareLog_({TRV_LOG_WARNING, kTag, "", " more answers told of firmware prior 1.3.3."}),
      forcedBindLog_({TRV_LOG_WARNING, kTag, "", " more forced binds failed."}),
      malformedDiscoveryLog_({TRV_LOG_TRACE, kTag, "Dropped ", " more datagrams during discovery."}),
      surplusDiscoveryLog_(
          {TRV_LOG_TRACE, kTag, "Dropped ", " more datagrams answering the discovery beyond its candidates."}) {
    LogStream(TRV_LOG_TRACE, kTag) << "INIT";
    if (const int error = socket.open(); error != 0) {
        LogStream(TRV_LOG_ERROR, kTag) << "socket(): " << formatSocketErrorMessage(error);
        return;
    }
    if (const int error = socket.enableBroadcast(); error != 0) {
        LogStream(TRV_LOG_ERROR, kTag) << "Failed to enable broadcast option on socket.";
        socketError(error);
    }
}

HidComUdp::~HidComUdp() {
    if (connected) {
        if (unbind() < 0)
            LogStream(TRV_LOG_WARNING, kTag) << "Device could not unbind properly while disconnecting.";
        connected = false;
    }
    flushReaderLogs(true);
    socket.close();
    LogStream(TRV_LOG_TRACE, kTag) << "DEINIT";
}

std::string HidComUdp::addressText(const Ipv4Endpoint& endpoint) { return endpoint.toString(); }

std::optional<Ipv4Endpoint> HidComUdp::parseAddressText(const std::string& text) noexcept {
    const auto colon = text.find(':');
    if (colon == std::string::npos) return std::nullopt;
    const auto address = parseIpv4Address(std::string_view(text).substr(0, colon));
    if (!address) return std::nullopt;
    const char* first = text.data() + colon + 1;
    const char* last = text.data() + text.size();
    unsigned port = 0;
    const auto [end, error] = std::from_chars(first, last, port);
    if (error != std::errc() || end != last || first == last || port > 0xFFFF) return std::nullopt;
    return Ipv4Endpoint{*address, static_cast<uint16_t>(port)};
}

int32_t HidComUdp::socketError(int error) {
    if (error == 0 || error == EAGAIN || error == EWOULDBLOCK) return 0;
    LogStream(TRV_LOG_ERROR, kTag) << "Socket error: " << error << " " << formatSocketErrorMessage(error);
    return error;
}

int32_t HidComUdp::send(const uint8_t* frame, int32_t length) {
    if (!connected) return TRV_ERROR_NO_DEVICE_CONNECTED;
    if (frame == nullptr || length < static_cast<int32_t>(kFrameOverheadBytes) ||
        length > static_cast<int32_t>(kSendBufferBytes))
        return TRV_ERROR_INVALID_PARAMETER;
    std::memcpy(sendBuffer, frame, static_cast<std::size_t>(length));
    auto result = socket.sendTo(sendBuffer, static_cast<std::size_t>(length), device);
    if (result.status == SocketStatus::WouldBlock && socket.waitWritable(timings_.answerTimeoutSeconds))
        result = socket.sendTo(sendBuffer, static_cast<std::size_t>(length), device);
    if (result.status != SocketStatus::Ok) {
        socketError(result.error == 0 ? EAGAIN : result.error);
        connected = false;
        return TRV_ERROR_DEVICE_NOT_REACHABLE;
    }
    return 0;
}

int32_t HidComUdp::reject(LogThrottle& throttle, const char* first, const char* second) {
    ++rejectedDatagrams_;
    if (!throttle.admitLines()) return TRV_ERROR_INVALID_MESSAGE;
    if (first != nullptr) LogStream(TRV_LOG_ERROR, kTag) << first;
    LogStream(TRV_LOG_ERROR, kTag) << second;
    return TRV_ERROR_INVALID_MESSAGE;
}

int32_t HidComUdp::checkAnswer(std::size_t byteCount) {
    const uint32_t length = answerLengths.lengthOf(answerBuffer[0]);
    if (length == 0 || (byteCount == length && !isCrcValid(answerBuffer, static_cast<uint16_t>(length)))) {
        return reject(invalidLog_, errorCodeMessage(TRV_ERROR_INVALID_MESSAGE),
                      "Could not process the answer, waiting for the next message.");
    }
    if (byteCount != length) {
        return reject(incompleteLog_, nullptr,
                      "Could not process the answer, message is incomplete, waiting for the next message.");
    }
    return static_cast<int32_t>(length);
}

void HidComUdp::dropForeign(LogThrottle& throttle, const Ipv4Endpoint& from, const char* during) {
    ++foreignDatagrams_;
    if (!throttle.admitLines()) return;
    LogStream(TRV_LOG_TRACE, kTag) << "Dropped a datagram from " << from.toString() << during << ".";
}

void HidComUdp::flushReaderLogs(bool all) noexcept {
    LogThrottle::flushEach(
        {&invalidLog_, &incompleteLog_, &tooLongLog_, &foreignLog_, &oldFirmwareLog_, &forcedBindLog_}, all);
}

int32_t HidComUdp::receiveNow() {
    for (int i = 0; i < kMaxDatagramsPerRead; ++i) {
        const DatagramResult result = socket.receiveFrom(answerBuffer, sizeof answerBuffer);
        switch (result.status) {
        case SocketStatus::WouldBlock:
            return 0;
        case SocketStatus::Failed:
            socketError(result.error);
            LogStream(TRV_LOG_ERROR, kTag) << "Could not read data over socket.";
            connected = false;
            return TRV_ERROR_DEVICE_NOT_REACHABLE;
        case SocketStatus::TooLarge:
        case SocketStatus::Ok:
            break;
        }
        if (result.from != device) {
            // Not our vest: a datagram from anyone else never reaches the
            // owner and never redirects the link.
            dropForeign(foreignLog_, result.from, "");
            continue;
        }
        if (result.status == SocketStatus::TooLarge)
            return reject(tooLongLog_, nullptr, "Could not process the answer, message is too long.");
        if (result.bytes == 0) return 0;
        return checkAnswer(result.bytes);
    }
    return 0;
}

int32_t HidComUdp::receive() {
    if (!connected) return TRV_ERROR_NO_DEVICE_CONNECTED;
    if (const int32_t held = takeHeldMessage(); held > 0) return held;
    socket.waitReadable(timings_.receiveWaitSeconds);
    const int32_t received = receiveNow();
    flushReaderLogs(false);
    return received;
}

void HidComUdp::drainStaleDatagrams() {
    uint8_t scratch[kAnswerBufferBytes];
    for (int i = 0; i < kMaxStaleDatagrams; ++i) {
        const auto result = socket.receiveFrom(scratch, sizeof scratch);
        if (result.status == SocketStatus::WouldBlock || result.status == SocketStatus::Failed) return;
        // A late answer is dropped; a slot status not yet read is the owner's.
        const std::size_t length = answerLengths.lengthOf(scratch[0]);
        if (result.status == SocketStatus::Ok && result.from == device &&
            scratch[0] == idOf(HidCommandId::SlotStatus) && result.bytes == length &&
            isCrcValid(scratch, static_cast<uint16_t>(length))) {
            holdIfUnasked(scratch, length);
        }
    }
}

void HidComUdp::cancel() noexcept {
    IHidCom::cancel();
    cancelWaker_.notify();
}

bool HidComUdp::waitForDatagram(float seconds) {
    PollEntry entries[2] = {{socket.fd()}, {cancelWaker_.fd()}};
    if (cancelled() || pollDescriptors(entries, seconds) <= 0) return false;
    return entries[0].ready && !cancelled();
}

void HidComUdp::startSearch() {
    searchDeadline_ = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                         std::chrono::duration<float>(timings_.searchSeconds));
}

bool HidComUdp::searchOver() const { return cancelled() || Clock::now() >= searchDeadline_; }

int32_t HidComUdp::sendAndWait(const uint8_t* frame, int32_t length, uint8_t expectedId,
                               bool forcedBindAllowed, bool withinSearch) {
    drainStaleDatagrams(); // a late answer to an earlier request is not this one's
    if (const int32_t sent = send(frame, length); sent < 0) return sent;
    const auto start = Clock::now();
    // A release (Unbind) keeps its own time, even once the search ran out.
    const auto end = withinSearch ? std::min(searchDeadline_, start + std::chrono::duration_cast<Clock::duration>(
                                                                   std::chrono::duration<float>(timings_.answerTimeoutSeconds)))
                                  : start + std::chrono::duration_cast<Clock::duration>(
                                                std::chrono::duration<float>(timings_.answerTimeoutSeconds));
    int32_t received = 0;
    for (;;) {
        const float left = std::chrono::duration<float>(end - Clock::now()).count();
        if (left <= 0.0f || cancelled()) return TRV_ERROR_DEVICE_NOT_REACHABLE;
        waitForDatagram(left);
        received = receiveNow();
        flushReaderLogs(false);
        if (received > 0) {
            // Only the request's answer (or an error answer) ends the wait; an
            // unasked slot status is kept for receive(), anything else is stale.
            if (answerBuffer[0] == expectedId || answerBuffer[0] == idOf(HidCommandId::ErrorAnswer)) break;
            holdIfUnasked(static_cast<std::size_t>(received));
            continue;
        }
        if (!connected) return TRV_ERROR_DEVICE_NOT_REACHABLE; // the socket failed
    }
    if (answerBuffer[0] == expectedId) return 0;
    if (answerBuffer[0] == idOf(HidCommandId::ErrorAnswer) && answerBuffer[3] == kOldFirmwareError &&
        forcedBindAllowed) {
        if (oldFirmwareLog_.admitLines()) LogStream(TRV_LOG_WARNING, kTag) << kOldFirmwareText;
        const auto bind = makeShortFrame(HidCommandId::Bind);
        const int32_t bindResult =
            sendAndWait(bind.data(), bind.size(), answerIdOf(HidCommandId::Bind), false, withinSearch);
        if (bindResult < 0) {
            if (forcedBindLog_.admitLines()) LogStream(TRV_LOG_WARNING, kTag) << kForcedBindFailedText;
            return bindResult;
        }
        bound = true;
        return sendAndWait(frame, length, expectedId, false, withinSearch);
    }
    return TRV_ERROR_INVALID_MESSAGE;
}

int32_t HidComUdp::unbind() {
    if (!bound) return 0;
    const auto frame = makeShortFrame(HidCommandId::Unbind);
    const int32_t result =
        sendAndWait(frame.data(), frame.size(), answerIdOf(HidCommandId::Unbind), false, false);
    bound = false;
    if (result < 0) {
        LogStream(TRV_LOG_WARNING, kTag) << "Unbind failed, board might not be in correct state. Wait for "
                                            "it to recover or power it back on again.";
    }
    return result;
}

void HidComUdp::listBroadcastAddresses(std::vector<std::string>& out) {
    for (const uint32_t address : ipv4BroadcastAddresses()) out.push_back(ipv4AddressText(address));
}

void HidComUdp::collectAnswers(std::vector<std::string>& found) {
    const auto start = Clock::now();
    std::vector<std::string> answered;
    uint8_t datagram[kAnswerBufferBytes];
    for (;;) {
        const float left = timings_.discoveryWindowSeconds - secondsSince(start);
        if (left <= 0.0f || cancelled()) break;
        malformedDiscoveryLog_.flush();
        surplusDiscoveryLog_.flush();
        if (!waitForDatagram(left)) continue;
        const DatagramResult result = socket.receiveFrom(datagram, sizeof datagram);
        if (result.status == SocketStatus::WouldBlock) continue;
        if (result.status == SocketStatus::Failed) {
            socketError(result.error);
            // A broken socket stays readable: do not spin on it.
            if (!socket.waitReadable(0.0f)) continue;
            break;
        }
        const bool wellFormed = result.status == SocketStatus::Ok &&
                                result.bytes == answerLengthOf(answerIdOf(HidCommandId::Discover)) &&
                                datagram[0] == answerIdOf(HidCommandId::Discover) &&
                                frameCrcMatches(datagram, result.bytes) && (datagram[3] & 0xFD) == 0;
        if (!wellFormed) {
            dropForeign(malformedDiscoveryLog_, result.from, " during discovery");
            continue;
        }
        // One candidate per address and port: a forged answer from another
        // port of the vest's address does not hide the vest's own.
        const std::string text = addressText(result.from);
        const bool listed = std::find(answered.begin(), answered.end(), text) != answered.end();
        if (!listed && answered.size() >= kMaxCandidates) {
            dropForeign(surplusDiscoveryLog_, result.from, " answering the discovery beyond its candidates");
            continue;
        }
        if (!listed) answered.push_back(text);
        LogStream(TRV_LOG_TRACE, kTag) << "A device answered on " << std::this_thread::get_id() << " : "
                                       << text;
    }
    malformedDiscoveryLog_.flushAll();
    surplusDiscoveryLog_.flushAll();
    found = std::move(answered);
    LogStream(TRV_LOG_TRACE, kTag) << "After trim, " << found.size() << " are remaining.";
}

void HidComUdp::discover(std::vector<std::string>& found) {
    const auto frame = makeShortFrame(HidCommandId::Discover);
    std::vector<std::string> broadcasts;
    listBroadcastAddresses(broadcasts);
    drainStaleDatagrams();
    std::vector<std::string> collected;
    std::thread collector;
    try {
        collector = std::thread([this, &collected] { collectAnswers(collected); });
    } catch (const std::system_error& error) {
        LogStream(TRV_LOG_ERROR, kTag) << "Could not start the discovery: " << error.what();
        return;
    }
    for (const auto& text : broadcasts) {
        const auto address = parseIpv4Address(text);
        if (!address) continue;
        for (const uint16_t port : kDiscoveryPorts) {
            // A failed send on one interface does not stop the others.
            const auto result = socket.sendTo(frame.data(), frame.size(), {*address, port});
            if (result.status != SocketStatus::Ok) socketError(result.error);
        }
    }
    collector.join();
    for (auto& text : collected) {
        if (std::find(found.begin(), found.end(), text) == found.end()) found.push_back(std::move(text));
    }
}

std::vector<HidComUdp::Exchange> HidComUdp::exchangesWith(const std::vector<std::string>& found,
                                                         std::vector<HidCommandId> requests) {
    std::vector<Exchange> exchanges;
    exchanges.reserve(found.size());
    for (const auto& text : found) {
        Exchange exchange;
        exchange.endpoint = *parseAddressText(text); // made by addressText()
        exchange.text = text;
        exchange.requests = requests;
        exchanges.push_back(std::move(exchange));
    }
    return exchanges;
}

void HidComUdp::askNext(Exchange& exchange, bool withinSearch) {
    const auto frame = makeShortFrame(exchange.binding ? HidCommandId::Bind : exchange.requests[exchange.next]);
    auto result = socket.sendTo(frame.data(), frame.size(), exchange.endpoint);
    if (result.status == SocketStatus::WouldBlock && socket.waitWritable(timings_.answerTimeoutSeconds))
        result = socket.sendTo(frame.data(), frame.size(), exchange.endpoint);
    if (result.status != SocketStatus::Ok) {
        socketError(result.error == 0 ? EAGAIN : result.error);
        exchange.failed = true;
        return;
    }
    exchange.deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<float>(timings_.answerTimeoutSeconds));
    if (withinSearch) exchange.deadline = std::min(exchange.deadline, searchDeadline_);
}

void HidComUdp::takeAnswer(Exchange& exchange, std::size_t length, bool withinSearch) {
    const uint8_t id = answerBuffer[0];
    const bool errorAnswer = id == idOf(HidCommandId::ErrorAnswer);
    if (exchange.binding) {
        if (id == answerIdOf(HidCommandId::Bind)) {
            exchange.binding = false;
            exchange.bound = true;
            askNext(exchange, withinSearch); // the request again
            return;
        }
        if (errorAnswer) {
            if (forcedBindLog_.admitLines()) LogStream(TRV_LOG_WARNING, kTag) << kForcedBindFailedText;
            exchange.failed = true;
            return;
        }
    } else {
        const HidCommandId request = exchange.requests[exchange.next];
        if (id == answerIdOf(request)) {
            if (request == HidCommandId::GetSerialNumber) exchange.serialNumber = parseSerialNumber(answerBuffer);
            if (request == HidCommandId::GetVersion) exchange.version = versionTextOfAnswer(answerBuffer);
            if (request == HidCommandId::GetDeviceType) exchange.deviceTypeCode = deviceTypeCodeOfAnswer(answerBuffer);
            exchange.retried = false;
            if (++exchange.next == exchange.requests.size()) exchange.done = true;
            else askNext(exchange, withinSearch);
            return;
        }
        if (errorAnswer && answerBuffer[3] == kOldFirmwareError && exchange.forcedBindAllowed && !exchange.retried) {
            if (oldFirmwareLog_.admitLines()) LogStream(TRV_LOG_WARNING, kTag) << kOldFirmwareText;
            exchange.binding = true;
            exchange.retried = true;
            askNext(exchange, withinSearch);
            return;
        }
        if (errorAnswer) {
            exchange.failed = true;
            return;
        }
    }
    // Any other message leaves the wait going on; a slot status is kept in
    // case this candidate becomes the vest.
    if (id == idOf(HidCommandId::SlotStatus) && exchange.heldStatuses.size() < kMaxHeldMessages)
        exchange.heldStatuses.emplace_back(answerBuffer, answerBuffer + length);
}

bool HidComUdp::readForExchanges(std::vector<Exchange>& exchanges, bool withinSearch, const Ipv4Endpoint* vest) {
    const DatagramResult result = socket.receiveFrom(answerBuffer, sizeof answerBuffer);
    if (result.status == SocketStatus::WouldBlock) return false;
    if (result.status == SocketStatus::Failed) {
        socketError(result.error);
        LogStream(TRV_LOG_ERROR, kTag) << "Could not read data over socket.";
        for (auto& exchange : exchanges) exchange.failed = exchange.failed || !exchange.done;
        return false;
    }
    const auto exchange = std::find_if(exchanges.begin(), exchanges.end(),
                                       [&](const Exchange& e) { return e.endpoint == result.from; });
    const bool fromVest = vest != nullptr && result.from == *vest;
    if (exchange == exchanges.end() && !fromVest) {
        dropForeign(foreignLog_, result.from, "");
        return true;
    }
    if (result.status == SocketStatus::TooLarge) {
        reject(tooLongLog_, nullptr, "Could not process the answer, message is too long.");
        return true;
    }
    if (result.bytes == 0) return true;
    const int32_t length = checkAnswer(result.bytes);
    if (length <= 0) return true;
    if (exchange == exchanges.end()) {
        holdIfUnasked(static_cast<std::size_t>(length));
        return true;
    }
    // A late or repeated answer of a candidate that is through is dropped.
    if (!exchange->done && !exchange->failed) takeAnswer(*exchange, static_cast<std::size_t>(length), withinSearch);
    return true;
}

void HidComUdp::runExchanges(std::vector<Exchange>& exchanges, bool withinSearch, const Ipv4Endpoint* vest) {
    if (!withinSearch || !searchOver()) {
        for (auto& exchange : exchanges) askNext(exchange, withinSearch);
    }
    for (;;) {
        const auto now = Clock::now();
        auto nearest = Clock::time_point::max();
        for (auto& exchange : exchanges) {
            if (exchange.done || exchange.failed) continue;
            if (now >= exchange.deadline) {
                if (exchange.binding && forcedBindLog_.admitLines())
                    LogStream(TRV_LOG_WARNING, kTag) << kForcedBindFailedText;
                exchange.failed = true;
                continue;
            }
            nearest = std::min(nearest, exchange.deadline);
        }
        if (nearest == Clock::time_point::max() || cancelled()) break;
        flushReaderLogs(false);
        if (!waitForDatagram(std::chrono::duration<float>(nearest - now).count())) continue;
        for (int i = 0; i < kMaxDatagramsPerRead && readForExchanges(exchanges, withinSearch, vest); ++i) {
        }
    }
    for (auto& exchange : exchanges) exchange.failed = exchange.failed || !exchange.done;
}

void HidComUdp::releaseExchanges(std::vector<Exchange>& exchanges, const Ipv4Endpoint* vest) {
    std::vector<Exchange> releases;
    for (auto& exchange : exchanges) {
        if (!exchange.bound) continue;
        exchange.bound = false;
        Exchange release;
        release.endpoint = exchange.endpoint;
        release.text = exchange.text;
        release.requests = {HidCommandId::Unbind};
        release.forcedBindAllowed = false;
        releases.push_back(std::move(release));
    }
    if (releases.empty()) return;
    // A release keeps its own time, even once the search ran out.
    runExchanges(releases, false, vest);
    for (const auto& release : releases) {
        if (release.failed) {
            LogStream(TRV_LOG_WARNING, kTag) << "Unbind failed, board might not be in correct state. Wait for "
                                                "it to recover or power it back on again.";
        }
    }
}

int32_t HidComUdp::scan(std::vector<trv_device_info_t>& records, std::map<uint32_t, std::string>& addresses,
                        std::vector<std::string>& strings) {
    bound = false;
    LogStream(TRV_LOG_TRACE, kTag) << "Start Wifi scanning routine.";
    if (connected) return TRV_ERROR_PROCESS_RUNNING;
    startSearch();
    std::vector<std::string> found;
    discover(found);
    connected = true;
    auto exchanges = exchangesWith(found, {HidCommandId::GetSerialNumber, HidCommandId::GetVersion,
                                           HidCommandId::GetDeviceType});
    runExchanges(exchanges, true, nullptr);
    for (const auto& exchange : exchanges) {
        if (exchange.done) {
            strings.push_back(exchange.version);
            strings.push_back(exchange.text);
            addresses.try_emplace(exchange.serialNumber, exchange.text);
            trv_device_info_t record{};
            record.outputType = TRV_OUTPUT_WIFI;
            record.serialNumber = exchange.serialNumber;
            record.deviceType = deviceTypeFromCode(exchange.deviceTypeCode);
            record.deviceVersion = nullptr;
            record.next = nullptr;
            records.push_back(record);
        } else {
            LogStream(TRV_LOG_TRACE, kTag) << "Could not inspect " << exchange.text
                                           << " - device does not appear to be available.";
        }
    }
    releaseExchanges(exchanges, nullptr); // only a forced bind during the queries bound one
    connected = false;
    flushReaderLogs(true);
    return 0;
}

int32_t HidComUdp::connect(uint32_t serialNumber, std::string deviceString) {
    if (connected) return 0;
    LogStream(TRV_LOG_TRACE, kTag) << "Start Wifi connection routine.";
    bound = false;
    const auto serialRequest = makeShortFrame(HidCommandId::GetSerialNumber);
    const auto bindRequest = makeShortFrame(HidCommandId::Bind);
    const uint8_t serialAnswer = answerIdOf(HidCommandId::GetSerialNumber);
    const uint8_t bindAnswer = answerIdOf(HidCommandId::Bind);
    startSearch();
    auto unavailable = [&](const std::string& text) {
        LogStream(TRV_LOG_TRACE, kTag) << "Could not connect to " << text
                                       << " - device does not appear to be available.";
    };

    if (!deviceString.empty()) {
        if (const auto endpoint = parseAddressText(deviceString)) {
            device = *endpoint;
            connected = true;
            if (sendAndWait(serialRequest.data(), serialRequest.size(), serialAnswer) < 0) {
                unavailable(deviceString);
                unbind();
            } else if (parseSerialNumber(answerBuffer) != serialNumber) {
                LogStream(TRV_LOG_INFO, kTag) << "Wrong serial number, rescan devices.";
                unbind();
            } else if (bound) {
                LogStream(TRV_LOG_ERROR, kTag) << "Connected to " << deviceString;
                return 0;
            } else if (sendAndWait(bindRequest.data(), bindRequest.size(), bindAnswer) == 0) {
                bound = true;
                LogStream(TRV_LOG_ERROR, kTag) << "Connected to " << deviceString;
                return 0;
            } else {
                unavailable(deviceString);
                unbind();
            }
            connected = false;
        } else {
            unavailable(deviceString);
        }
    }

    // Every candidate is asked its serial number at once (also for serial
    // number 0: a candidate that answers nothing is no vest to bind); then
    // the first that fits, in the order they answered the Discover, is bound.
    std::vector<std::string> found;
    if (!cancelled()) discover(found);
    connected = true;
    auto exchanges = exchangesWith(found, {HidCommandId::GetSerialNumber});
    runExchanges(exchanges, true, nullptr);
    bool taken = false;
    for (auto& exchange : exchanges) {
        if (exchange.failed) {
            unavailable(exchange.text);
            continue;
        }
        if (serialNumber != 0 && exchange.serialNumber != serialNumber) continue;
        if (searchOver()) break;
        connected = true; // a socket failure on one vest does not stop the search
        device = exchange.endpoint;
        bound = std::exchange(exchange.bound, false); // a forced bind is now the link's to release
        for (const auto& status : exchange.heldStatuses) holdIfUnasked(status.data(), status.size());
        if (!bound && sendAndWait(bindRequest.data(), bindRequest.size(), bindAnswer) != 0) {
            unavailable(exchange.text);
            unbind();
            continue;
        }
        bound = true;
        LogStream(TRV_LOG_TRACE, kTag) << "Connected to " << exchange.text;
        taken = true;
        break;
    }
    releaseExchanges(exchanges, taken ? &device : nullptr);
    if (taken) return 0;
    connected = false;
    flushReaderLogs(true);
    if (serialNumber != 0)
        LogStream(TRV_LOG_INFO, kTag) << "Device " << serialNumber << " is not available over WiFi."
                                      << kNotAvailableHints;
    else
        LogStream(TRV_LOG_INFO, kTag) << kNoDeviceText;
    return TRV_ERROR_DEVICE_NOT_REACHABLE;
}

int32_t HidComUdp::disconnect() {
    if (!connected) return TRV_ERROR_NO_DEVICE_CONNECTED;
    const int32_t result = unbind();
    if (result < 0) LogStream(TRV_LOG_WARNING, kTag) << "Device could not unbind properly while disconnecting.";
    connected = false;
    flushReaderLogs(true);
    return result;
}
