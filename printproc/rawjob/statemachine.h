// The transfer state machine: one job from capture file to server.
#pragma once
#include <windows.h>
#include "printproc/jobcontext.h"
#include "printproc/rawjob/jobrecord.h"
#include "printproc/rawjob/jobstate.h"
#include "printproc/rawjob/transfercontext.h"

using rpqproto::kSilenceLimitSeconds;

// Runs the states from INITIAL to END OF JOB; always TRUE.
BOOL runTransfer(JobContext* ctx, JobRecord& job, CJobState& state);

int stateInitial(TransferContext& t);
int stateInitiation(TransferContext& t);
int stateChunkTransfer(TransferContext& t);
int stateWait(TransferContext& t);
int stateReset(TransferContext& t);
int stateQuit(TransferContext& t);
