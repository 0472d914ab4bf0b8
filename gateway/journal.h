// Jobs on disk until the server confirmed them or the client was told they
// failed: <state>/jobs/<UID>.doc (the client's document) and <UID>.job.
#pragma once
#include <string>
#include <vector>
#include "gateway/transfer.h"

// Copies the document into the journal and writes the record (both synced)
// before the transfer starts. False with a reason.
bool journalJob(const std::string& jobsDir, const std::string& source, GatewayJob& job, std::string* why);
// Deletes the job's record, document and archive.
void forgetJob(const GatewayJob& job);
// Jobs whose record is complete, oldest first; records that cannot be read
// are set aside as <name>.bad.
std::vector<GatewayJob> pendingJobs(const std::string& jobsDir);
// The record's text and back (for tests and fuzzing).
std::string recordText(const GatewayJob& job);
bool parseRecord(const std::string& text, GatewayJob& job);
