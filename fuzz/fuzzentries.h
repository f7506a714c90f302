// What each fuzz target does with one input. Shared by the libFuzzer targets
// and by the regression test that replays the seed corpus and every input a
// fuzzer once crashed on, so a found fault stays found.
//
// Each entry aborts (through fuzzCheck) when a property of the code under
// test does not hold; memory errors are left to the sanitizers.
#pragma once

#include <cstddef>
#include <cstdint>

// The bytes as a melody file, set up and played for a few dozen blocks in
// several stream shapes. Every output frame must be a whole copy of an input
// frame or silence.
void fuzzMelodyFile(const std::uint8_t* data, std::size_t size);
// The same, each file played once: one way through one stream shape, or the
// interpolated read, chosen by its bytes.
void fuzzMelodyFileOneWay(const std::uint8_t* data, std::size_t size);

// The bytes as the configuration file, loaded, saved and loaded again; both
// loads must agree. Works in the current directory.
void fuzzConfigFile(const std::uint8_t* data, std::size_t size);

// The bytes as terminal input to the key decoder, once with nothing timing
// out and once with every unfinished sequence timing out after each byte.
void fuzzKeyBytes(const std::uint8_t* data, std::size_t size);

// The bytes as a MIDI file: read, listed and converted, with
// and without a bend range of its own. What is read is well formed, what is
// refused names a byte, and what is converted is a melody the program plays.
void fuzzMidiFile(const std::uint8_t* data, std::size_t size);

// Aborts with the message when `ok` is false.
void fuzzCheck(bool ok, const char* what);
