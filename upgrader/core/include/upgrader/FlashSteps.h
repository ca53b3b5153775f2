// The flash steps: XLDR into its four copies, EBoot, logo and OS image through "FWD1:", then the PMC
// firmware, with the progress split among them. Every driver call is checked; a step that fails
// stops the sequence.
#pragma once
#include <windows.h>

#include <functional>
#include <string>

#include "upgrader/FlashPart.h"

// The progress of one step: start + (end - start) x (k + 1) / n, kept within the step and 0..100, sent
// only when it changes.
class StepProgress {
public:
    explicit StepProgress(std::function<void(int)> send) : m_send(std::move(send)) {}
    void Span(int start, int end);
    int End() const { return m_end; }
    void Step(ULONGLONG k, ULONGLONG n);  // after piece k (from 0) of n
    void ToEnd() { Send(m_end); }

private:
    void Send(int percent);
    std::function<void(int)> m_send;
    int m_start = 0, m_end = 0, m_last = -1;
};

// The step end for the number of step bits left (1-5): flash part only, or with the application part.
// 0 for other counts: the end stays.
int FlashStepEnd(int bitsLeft, bool withApplication);

bool NANDUpdate(const std::u16string& file, StepProgress& progress);
bool EBootUpdate(const std::u16string& file, StepProgress& progress);
bool LOGOUpdate(const std::u16string& file, StepProgress& progress);
bool OSIMAGEUpdate(const std::u16string& file, StepProgress& progress);

// Runs the plan's steps in their order (XLDR, EBoot, logo, OS, PMC); pmc downloads a firmware file.
// False with the failed step's name.
bool OsUpdate(const FlashPlan& plan, bool withApplication, StepProgress& progress,
              const std::function<bool(const std::u16string&, StepProgress&)>& pmc, std::string& failed);
