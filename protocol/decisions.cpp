#include "protocol/decisions.h"

namespace rpqproto {

int afterXfer(Answer answer) {
    if (answer == Answer::Ok) return ST_CHUNK_TRANSFER;
    if (answer == Answer::Error) return ST_RESET;
    return ST_QUIT;
}

bool nextChunk(Progress& progress) {
    ++progress.currentChunk;
    if (progress.currentChunk <= progress.noOfChunks) return true;
    progress.resumeState = ST_RESET;
    return false;
}

uint32_t followingChunk(const Progress& progress) {
    return progress.currentChunk < progress.noOfChunks ? progress.currentChunk + 1 : 0;
}

int afterChunk(Answer answer, double silence, Progress& progress) {
    switch (answer) {
    case Answer::None:
        // No answer after a long silence: the server may hold the chunk; ask.
        if (silence > kSilenceLimitSeconds) {
            progress.resumeState = ST_CHUNK_TRANSFER;
            return ST_WAIT;
        }
        return ST_RESET;
    case Answer::Ok:
        progress.retryCount = 0;
        if (followingChunk(progress) != 0) return ST_CHUNK_TRANSFER;
        progress.resumeState = ST_RESET;
        return ST_WAIT;
    case Answer::Error:
        if (progress.retryCount <= kMaxRetryCount) {
            ++progress.retryCount;
            --progress.currentChunk;  // the same chunk again
            return ST_CHUNK_TRANSFER;
        }
        return ST_RESET;
    case Answer::Wait:
        return ST_WAIT;
    default:
        return ST_RESET;
    }
}

int afterPing(Answer answer, const Progress& progress, bool* confirmed) {
    *confirmed = false;
    if (answer == Answer::Ok) {
        *confirmed = progress.resumeState == ST_RESET;
        return progress.resumeState;
    }
    if (answer == Answer::Wait) return ST_WAIT;
    return ST_RESET;
}

int afterReset(Answer answer, double silence, Progress& progress) {
    if (answer == Answer::None && silence < kSilenceLimitSeconds && progress.retryCount <= kMaxRetryCount) {
        ++progress.retryCount;
        return ST_RESET;
    }
    return ST_QUIT;
}

}  // namespace rpqproto
