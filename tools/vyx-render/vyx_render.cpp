#include "vyx_render.h"

#include <memory>
#include <string>

#include "vyx/vyxfx.h"

namespace vyxrender {
namespace {

using Instance = std::unique_ptr<vyxfx_instance, decltype(&vyxfx_destroy)>;

Instance make(uint32_t rate) {
    return Instance(
        vyxfx_create(static_cast<int32_t>(rate), 1, VYXFX_SAMPLE_FLOAT, VYXFX_PROCESS_DOUBLE),
        &vyxfx_destroy);
}

} // namespace

bool render(const MonoSignal& audio, uint32_t preset, uint32_t outputRate, MonoSignal& haptic,
            std::string& error) {
    const Instance capture = make(audio.sampleRate);
    if (!capture)
        return error = "unsupported audio rate " + std::to_string(audio.sampleRate), false;
    const Instance output = make(outputRate);
    if (!output) return error = "unsupported output rate " + std::to_string(outputRate), false;
    if (vyxfx_set_preset(output.get(), preset) != VYXFX_OK)
        return error = "no preset " + std::to_string(preset), false;
    const uint32_t inBlock = vyxfx_frame_size(capture.get());
    const uint32_t outBlock = vyxfx_frame_size(output.get());
    const uint64_t blocks = (audio.samples.size() + inBlock - 1) / inBlock;
    std::vector<uint8_t> tokens(vyxfx_token_bytes(capture.get(), audio.samples.size()));
    haptic.sampleRate = outputRate;
    haptic.samples.assign(blocks * outBlock, 0.0f);
    if (vyxfx_analyse(capture.get(), audio.samples.data(), tokens.data(), audio.samples.size()) !=
            VYXFX_OK ||
        vyxfx_synthesise(output.get(), tokens.data(), tokens.size(), haptic.samples.data(),
                         haptic.samples.size()) != VYXFX_OK)
        return error = "the engine refused the signal (error " +
                       std::to_string(vyxfx_last_error()) + ")",
               false;
    return true;
}

} // namespace vyxrender
