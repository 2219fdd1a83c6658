/*
 * vantrel: the speech front end of the Tessary recogniser client.
 *
 * The library records the sound card at 8000 Hz, 16-bit mono, cuts the
 * speech into frames, turns each frame into liftered LPC cepstra and a log10
 * energy, and hands the frames out as "DATA" packets (a 12-byte head and
 * little-endian 32-bit floats).
 *
 * Thread safety: the capture side keeps one set of state per process. Every
 * capture function (InitClient, DeallocEnv, StartRecord, StopRecord,
 * GetBufLen, GetParam, Test) and the capture tick run on one thread: the
 * thread whose event loop runs the host's timer. None of them may be called
 * from another thread. GetPacketHead and SetPacketHead keep no state and may
 * be called from any thread. Playback (OpenSoundCardOut, CloseSoundCardOut)
 * shares no state with capture; its two functions may be called from any
 * thread and are serialised inside the library. No C++ exception ever
 * leaves a function of this header.
 *
 * All integers are 32-bit and signed; 0 means success, -1 failure, unless a
 * function says it returns a count.
 */
#ifndef VANTREL_H
#define VANTREL_H

#include <stddef.h>
#include <stdint.h>

#if defined(VANTREL_BUILDING_LIBRARY)
#define VANTREL_API __attribute__((visibility("default")))
#else
#define VANTREL_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Size in bytes of a packet head: type (4 ASCII letters), number, length. */
#define VANTREL_PACKET_HEAD_SIZE 12

/* Notification codes the capture tick posts to the host after every tick. */
#define VANTREL_NOTIFY_DATA 550      /* a tick ran; frames may be waiting */
#define VANTREL_NOTIFY_END 551       /* capture buffer used up; device closed */
#define VANTREL_NOTIFY_DATA_FULL 552 /* as DATA, and the parameter buffer is full */
#define VANTREL_NOTIFY_END_FULL 553  /* as END, and the parameter buffer is full */

/* The function the library hands to the host's timer; the host calls it on
 * its own thread once per period, from its event loop. */
typedef void (*VantrelTimerProc)(void);

/*
 * The host stands for the window that owns the recording. The caller owns
 * the record and keeps it alive and unchanged from InitClient until
 * DeallocEnv (or the next InitClient). All three functions are called on
 * the caller's thread.
 *
 * set_timer:   start a periodic timer of period_ms that the caller's event
 *              loop runs on the caller's thread and that calls proc on every
 *              period. Returns a nonzero identifier, or 0 on failure.
 * kill_timer:  stop the timer with that identifier.
 * post_notify: queue the code (550 to 553) for the window; it must be
 *              handled after the running handler has returned, in order
 *              with the window's other events. Never call back into the
 *              library from inside post_notify.
 */
typedef struct VantrelHost {
    void *context;
    uint32_t (*set_timer)(void *context, int32_t period_ms, VantrelTimerProc proc);
    void (*kill_timer)(void *context, uint32_t timer_id);
    void (*post_notify)(void *context, int32_t code);
} VantrelHost;

/* ---- Packet head codec --------------------------------------------------
 * packet points to at least 12 bytes; type to 4 characters (no terminator).
 * Nothing is validated: any number, length or type passes unchanged.
 * Both return 0. */
VANTREL_API int32_t SetPacketHead(uint8_t *packet, const char *type,
                                  const int32_t *number, const int32_t *length);
VANTREL_API int32_t GetPacketHead(const uint8_t *packet, char *type,
                                  int32_t *number, int32_t *length);

/* ---- Capture and parameters --------------------------------------------- */

/* Sets up the capture side: host (may be NULL for offline use with Test;
 * then StartRecord fails), tick period in ms, cepstral coefficients per
 * frame, frame length and shift in samples, capture length in ms. The
 * capture buffer holds captureMs * 8 samples, the parameter buffer
 * timerPeriod * (ncep + 1) * 80 / frameShift + 1 floats. A recording still
 * running is stopped first, and the packet counter starts again at 0.
 * Returns 0; -1 when a parameter is unusable (timerPeriod < 1, ncep < 1,
 * windowLength < 2, frameShift < 1 or above windowLength, captureMs < 1, a
 * size beyond 32 bits) or a buffer cannot be created; then no buffers exist,
 * Test analyses nothing and StartRecord fails with -1. */
VANTREL_API int32_t InitClient(const VantrelHost *host, int32_t timerPeriod,
                               int32_t ncep, int32_t windowLength,
                               int32_t frameShift, int32_t captureMs);

/* Stops a running tick, releases the buffers and closes the capture device.
 * Returns the result of closing the device: 0, or -1 when no device was open
 * or closing failed. */
VANTREL_API int32_t DeallocEnv(void);

/* Sets the capture tick and starts recording into the zeroed capture buffer
 * from its start; frames still waiting are discarded. The device is the
 * audio file named by the environment variable VANTREL_CAPTURE_FILE, replayed
 * in real time, or else the sound card's input (the default one, or the
 * first whose name contains VANTREL_CAPTURE_DEVICE). Returns 0 once
 * recording runs; -1 when there is no host, no buffer, the timer cannot be
 * set, or the device cannot be opened (then the timer is stopped again). A
 * recording still running is stopped first.
 *
 * The tick, once per period: reads the device position (a failing query
 * analyses nothing new; a position past the buffer's end counts as its end),
 * ends the recording itself when fewer than windowLength samples of the
 * buffer are left (timer stopped, device closed, code 551), analyses every
 * whole new frame as far as the parameter buffer has room (else code + 2),
 * and posts its code, 550 to 553, on every tick. */
VANTREL_API int32_t StartRecord(void);

/* Stops the tick and closes the device; frames already analysed stay
 * waiting. Always returns 0, also when nothing was recording or the tick
 * had already ended the recording. */
VANTREL_API int32_t StopRecord(void);

/* Number of floats (not frames) waiting in the parameter buffer. */
VANTREL_API int32_t GetBufLen(void);

/* Writes one "DATA" packet into the caller's buffer packet, which holds
 * size 32-bit slots, the three slots of the head included: the head, then
 * up to size - 3 waiting floats, oldest first. Returns the floats still
 * waiting, or -1 when nothing was waiting or size is below 3 (the buffer is
 * then left untouched). */
VANTREL_API int32_t GetParam(uint8_t *packet, int32_t size);

/* Analyses count samples offline (no device, no timer) into the parameter
 * buffer, discarding frames still waiting: the frames that start at samples
 * 0, frameShift, 2 * frameShift, ... with the sample after the frame present,
 * as far as they fit. The first frame's pre-emphasis uses the last sample
 * carried from whatever was analysed before. The caller keeps the samples.
 * Returns 0. */
VANTREL_API int32_t Test(const int16_t *samples, int32_t count);

/* ---- Playback ------------------------------------------------------------ */

/* Plays a copy of samples[0 .. count-1] (8000 Hz, 16-bit mono; the caller's
 * array is free once the call returns) on the default output, one buffer at
 * a time, the device closed by itself at the end. Returns a nonzero handle; 0 when busy, count
 * < 1, or the card failed ("Error on the sound card." line on stderr).
 * Any thread. */
VANTREL_API int32_t OpenSoundCardOut(const int16_t *samples, int32_t count);

/* Stops playing and closes the device. Returns the position in samples; 0
 * when nothing was playing; -1 while another call of it runs. Any thread. */
VANTREL_API int32_t CloseSoundCardOut(void);

#ifdef __cplusplus
}
#endif

#endif /* VANTREL_H */
