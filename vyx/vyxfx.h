/* VYX-fx: the audio-to-haptics analysis and synthesis engine, C-style interface.
 *
 * An instance is made for one sample rate and a number of interleaved channels.
 * It cuts each channel into frames of 20 ms and turns every frame either into a
 * token of four band descriptors per channel (vyxfx_analyse), or a token back
 * into a 20 ms haptic frame at its own rate (vyxfx_synthesise), or both in one
 * step (vyxfx_process). The analysing and the synthesising instance may run at
 * different rates: a token describes 20 ms whatever the rate.
 *
 * Token layout: for each frame in order, for each channel in order, four
 * descriptors in [0, 1] as four values of the process type in native byte order
 * (16 bytes per channel for float processing, 32 for double). A token has no
 * header: both sides must agree on channel count and process type, which a
 * caller checks by comparing vyxfx_token_bytes of the two instances.
 *
 * Threads: the engine starts no thread and takes no lock. One instance must be
 * used by one thread at a time; different instances may be used on different
 * threads. The last error is kept per thread (see vyxfx_last_error).
 *
 * Real time: once vyxfx_create has returned, no call allocates memory, locks or
 * blocks; analyse, synthesise, process, reset and set_preset are safe on an
 * audio callback thread.
 *
 * Results: 0 success, VYXFX_ENOMEM (-12) not enough memory, VYXFX_EINVAL (-22)
 * invalid parameter (null instance, bad argument, wrong sample type, a size that
 * does not fit), VYXFX_EOTHER (-256) any other failure. No exception leaves the
 * interface.
 */
#ifndef TARVONEL_VYX_VYXFX_H
#define TARVONEL_VYX_VYXFX_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct vyxfx_instance vyxfx_instance;

enum {
  VYXFX_OK = 0,
  VYXFX_ENOMEM = -12,
  VYXFX_EINVAL = -22,
  VYXFX_EOTHER = -256
};

/* Sample types (the caller's samples). */
enum {
  VYXFX_SAMPLE_INT16 = 0,
  VYXFX_SAMPLE_INT32 = 1,
  VYXFX_SAMPLE_FLOAT = 2,
  VYXFX_SAMPLE_DOUBLE = 3
};

/* Process types (the engine's working precision). */
enum {
  VYXFX_PROCESS_FLOAT = 0,
  VYXFX_PROCESS_DOUBLE = 1
};

/* Presets: 0 "Default", 1 "Sharp", 2 "Crunchy", 3 "Smooth". */
enum { VYXFX_PRESET_COUNT = 4 };

/* Creates an instance for sampleRate (exactly one of 500, 1000, 2000, 4000,
 * 8000, 16000, 32000, 44100, 48000, 88200, 96000 Hz), channels >= 1, a sample
 * type and a process type, with preset 0. Null on failure: -22 for a bad
 * argument (nothing allocated), -12 when the instance cannot be allocated,
 * -256 for another failure. Read vyxfx_last_error right after on the same thread. */
vyxfx_instance* vyxfx_create(int32_t sampleRate, uint32_t channels, int32_t sampleType,
                             int32_t processType);

/* Destroys an instance; null is ignored. */
void vyxfx_destroy(vyxfx_instance* instance);

/* Samples per channel in one 20 ms frame (rate x 0.02, truncated); 0 on error. */
uint32_t vyxfx_frame_size(vyxfx_instance* instance);

/* Token bytes that analysing `samples` samples per channel writes:
 * ceil(samples / frame size) x the token bytes of one frame of all channels.
 * 0 with -22 when the amount does not fit in 32 bits (such a call to
 * vyxfx_analyse is refused as well). */
uint32_t vyxfx_token_bytes(vyxfx_instance* instance, uint64_t samples);

/* Analyses `frames` interleaved float frames into tokens; writes
 * vyxfx_token_bytes(instance, frames) bytes. A last, partial frame is padded
 * with silence. Non-finite samples are taken as 0. -22 for an instance whose
 * sample type is not float. */
int32_t vyxfx_analyse(vyxfx_instance* instance, const float* in, uint8_t* tokens,
                      uint64_t frames);

/* Synthesises `frames` interleaved float frames from tokenBytes bytes of
 * tokens. Frames that the tokens do not cover are silence (and the call
 * succeeds). -22 for an instance whose sample type is not float. */
int32_t vyxfx_synthesise(vyxfx_instance* instance, const uint8_t* tokens, uint64_t tokenBytes,
                         float* out, uint64_t frames);

/* Analyses and synthesises `frames` interleaved float frames in one step: the
 * same as vyxfx_analyse followed by vyxfx_synthesise on one instance. */
int32_t vyxfx_process(vyxfx_instance* instance, const float* in, float* out, uint64_t frames);

/* The same three calls for any sample type: `sampleType` names the type that
 * `in` / `out` point to and must be the instance's own (else -22). */
int32_t vyxfx_analyse_typed(vyxfx_instance* instance, int32_t sampleType, const void* in,
                            uint8_t* tokens, uint64_t frames);
int32_t vyxfx_synthesise_typed(vyxfx_instance* instance, const uint8_t* tokens,
                               uint64_t tokenBytes, int32_t sampleType, void* out,
                               uint64_t frames);
int32_t vyxfx_process_typed(vyxfx_instance* instance, int32_t sampleType, const void* in,
                            void* out, uint64_t frames);

/* Restarts every channel's filters, levels and generators; keeps the preset. */
int32_t vyxfx_reset(vyxfx_instance* instance);

/* Sets the preset (0 to 3; -22 otherwise, and the preset is kept). Every
 * channel restarts as after creation. */
int32_t vyxfx_set_preset(vyxfx_instance* instance, uint32_t preset);

/* The preset; -22 for a null instance. */
int32_t vyxfx_get_preset(vyxfx_instance* instance);

/* The result of the last vyxfx_* call made on this thread (0 before any). */
int32_t vyxfx_last_error(void);

/* "Default", "Sharp", "Crunchy", "Smooth" for 0 to 3, "Invalid" otherwise.
 * Constant texts that live as long as the process. */
const char* vyxPresetName(uint32_t index);

#ifdef __cplusplus
}
#endif

#endif
