// The transfer's states and the decision each state takes on the server's
// answer: one rule for the print processor and the gateway.
#pragma once
#include <cstdint>

namespace rpqproto {

enum State : int {
    ST_INITIAL = 0,
    ST_INITIATION = 1,
    ST_CHUNK_TRANSFER = 2,
    ST_WAIT = 3,
    ST_RESET = 4,
    ST_QUIT = 5,
    ST_END_OF_JOB = 6,
};

constexpr double kSilenceLimitSeconds = 120.0;
constexpr uint8_t kFirstRetryCount = 3;  // one retry before the first chunk is confirmed
constexpr uint8_t kMaxRetryCount = 3;    // retries are allowed while the count is at most this

// The probe before a job: one PING with a UID of its own, the same request
// sent up to this many times; an answer that answers it, whatever its
// status, means the server is ready.
constexpr int kProbeAttempts = 3;

// What an exchange brought: no answer, an answer to another request, or a status.
enum class Answer { None, Invalid, Ok, Error, Wait, Other };

// The part of a run the decisions read and move on.
struct Progress {
    uint32_t noOfChunks = 0;
    uint32_t currentChunk = 0;
    uint8_t retryCount = kFirstRetryCount;
    int resumeState = ST_CHUNK_TRANSFER;  // where an answered PING leads
};

// XFER: OK sends the chunks, Error resets, anything else quits.
int afterXfer(Answer answer);
// Moves to the next chunk; false when every chunk has been sent (the run
// then waits for the end result).
bool nextChunk(Progress& progress);
// The request's nextChunk for the chunk being sent (0 for the last).
uint32_t followingChunk(const Progress& progress);
// CHUNK: silence is the time since the server's last sign of life.
int afterChunk(Answer answer, double silence, Progress& progress);
// PING: OK resumes (confirmed when all chunks had been sent), Wait asks again.
int afterPing(Answer answer, const Progress& progress, bool* confirmed);
// RESET: a lost RESET is sent again while the silence is short and a retry is left.
int afterReset(Answer answer, double silence, Progress& progress);

}  // namespace rpqproto
