#include "tools/vest-emulator/stream_trace.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <initializer_list>

#include "link/hid_frame.h"
#include "streaming/stream_data.h"

namespace vestemu {
namespace {

constexpr std::initializer_list<HidCommandId> kStreamingCommands{
    HidCommandId::GetStreamConfig, HidCommandId::StartStream, HidCommandId::StopStream,
    HidCommandId::StreamData};

} // namespace

StreamTrace::StreamTrace(std::unique_ptr<TextSink> sink) : sink_(std::move(sink)) {}

void StreamTrace::write(const std::string& line) {
    std::lock_guard lock(mutex_);
    if (!sink_ || !sink_->isOpen()) return;
    if (lostUnreported_ > 0) {
        const std::string report = "lost " + std::to_string(lostUnreported_) + "\n";
        if (sink_->write(report) != TextSink::WriteResult::written) {
            ++lost_;
            ++lostUnreported_;
            return;
        }
        lostUnreported_ = 0;
    }
    if (sink_->write(line + "\n") != TextSink::WriteResult::written) {
        ++lost_;
        ++lostUnreported_;
    }
}

uint64_t StreamTrace::lost() const {
    std::lock_guard lock(mutex_);
    return lost_;
}

TracedStreamingVest::TracedStreamingVest(std::shared_ptr<EmulatedVest> front, std::shared_ptr<VestClock> clock,
                                         StreamTrace* trace)
    : front_(std::move(front)),
      back_(std::make_shared<EmulatedVest>(front_->identity(), std::move(clock))),
      trace_(trace),
      streaming_(back_) {
    const auto hook = [this](EmulatedVest&, const Request& request) { forward(request); };
    for (const auto id : kStreamingCommands) front_->setHandler(idOf(id), hook);
    front_->setHandler(answerIdOf(HidCommandId::StopStream), hook); // the host's answer to the vest's stop
}

TracedStreamingVest::~TracedStreamingVest() {
    for (const auto id : kStreamingCommands) front_->setHandler(idOf(id), nullptr);
    front_->setHandler(answerIdOf(HidCommandId::StopStream), nullptr);
}

void TracedStreamingVest::forward(const Request& request) {
    if (trace_ != nullptr) {
        const uint32_t serial = front_->identity().serialNumber;
        if (request.id == idOf(HidCommandId::StreamData)) {
            streaming::DecodedStreamData decoded;
            const uint32_t entries = streaming_.options().entriesPerStep;
            if (streaming::decodeStreamData(request.frame, entries, kVestChannels, decoded) ==
                streaming::DecodeResult::ok)
                trace_->write(dataLine(serial, decoded));
        } else if (request.id == idOf(HidCommandId::StartStream)) {
            trace_->write("stream-start " + std::to_string(serial));
        } else if (request.id == idOf(HidCommandId::StopStream)) {
            trace_->write("stream-stop " + std::to_string(serial));
        }
    }
    back_->receiveFrame(request.frame, request.link);
}

std::string TracedStreamingVest::dataLine(uint32_t serialNumber, const streaming::DecodedStreamData& frame) {
    char head[96];
    std::snprintf(head, sizeof head, "data %u %u %g %u", serialNumber, frame.timestamp,
                  static_cast<double>(frame.mode.rateHz), frame.steps);
    std::string line = head;
    for (std::size_t channel = 0; channel < kVestChannels; ++channel) {
        float peak = 0.0f;
        for (uint32_t step = 0; step < frame.steps; ++step)
            peak = std::max(peak, std::fabs(frame.samples[step * kVestChannels + channel]));
        char value[16];
        std::snprintf(value, sizeof value, " %.3f", static_cast<double>(std::min(peak, 1.0f)));
        line += value;
    }
    return line;
}

} // namespace vestemu
