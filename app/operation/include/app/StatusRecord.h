// The B0 status record: the charger's status line, sent to a remote host and, less its code, the row of
// a run's CSV log. The wired link and the Bluetooth path link this library for it.
#pragma once
#include <windows.h>

#include <cstddef>

// The record's 22 values as the operation page gathers them.
struct StatusValues {
    SYSTEMTIME time;        // the tick's time stamp during a run, now when idle
    int step;               // program step 1..6, else 0
    int kind;               // step kind 1..9, else 0
    double setVolts;
    double setAmps;
    DWORD setSeconds;       // shown as hours (not wrapped at 24) and minutes
    double volts;
    double amps;
    DWORD elapsed;          // total seconds of the run
    int temperature;        // whole degrees Celsius
    int mode;               // 0 idle, 1 Restoration, 2 Discharge, 3 Program
    int frequency;          // Hz
    int discharge;          // 0/1
    int pulse;              // 0..3
    DWORD stepSeconds;      // the program step's own time, 0 outside programs
};

#define STATUS_RECORD_MAX 1024
#define LOG_ROW_MAX 200  // a queued row with its terminating zero

// The record "B0,...," into out (cap bytes, terminated). Its length, or 0 when a value does not fit its
// field (not finite, or wider than the record allows) or cap is too small: such a record is neither
// sent nor logged.
size_t FormatStatusRecord(const StatusValues& values, char* out, size_t cap);
// The CSV row of a record: without "B0," and with the final comma turned into CR LF. Its length, 0 when
// it does not fit cap with its terminator.
size_t StatusRecordToRow(const char* record, size_t length, char* row, size_t cap);
