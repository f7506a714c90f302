// A reader of Standard MIDI Files: the header, the chunks and every event of
// every track, with the byte where each starts. Nothing is interpreted beyond
// what the file's grammar needs; the converter gives the events meaning.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct SmfEvent {
  long long pulses;    // since the start of its track
  std::size_t offset;  // byte of the event's delta time in the file
  // 0x80 to 0xEF a channel message, 0xF0 or 0xF7 a system exclusive message
  // (or escape), 0xFF a meta event.
  unsigned char status;
  unsigned char data1;  // channel message: first data byte; meta: its type
  unsigned char data2;  // channel message: second data byte, 0 when it has one
  std::string payload;  // meta event: its data; empty for the others
};

struct SmfTrack {
  std::size_t offset;  // byte of its MTrk chunk
  std::vector<SmfEvent> events;
  // Pulses at its End-of-Track event, or at its last event when the chunk
  // ends without one.
  long long endPulses = 0;
};

struct SmfFile {
  unsigned format = 0;  // 0 or 1
  bool smpte = false;
  int ppqn = 0;             // pulses per quarter note, without SMPTE
  int framesPerSecond = 0;  // SMPTE: 24, 25, 29 (30 drop-frame) or 30
  int resolution = 0;       // SMPTE: pulses per frame
  std::vector<SmfTrack> tracks;
};

// A fault in the file: the byte where it shows and what it is.
struct SmfError {
  std::size_t byte = 0;
  std::string what;
};

// Reads the whole file. A chunk of another kind than MTrk is passed over,
// and whatever follows the last track the header announces is not read.
bool readSmf(const std::string& bytes, SmfFile& file, SmfError& error);

// Data bytes a channel message of this status carries: 1 or 2.
int channelDataBytes(unsigned char status);
