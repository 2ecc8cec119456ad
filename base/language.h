// The game client's language: a 32-bit code at byte 160 of opt.dat (2 English, 14 Spanish).
#pragma once

#include <cstdint>

constexpr int32_t kLanguageEnglish = 2;
constexpr int32_t kLanguageSpanish = 14;

// The code stored in opt.dat, or 0 when it cannot be read (missing or shorter than 164 bytes).
int32_t ReadClientLanguage();

// Writes the code into opt.dat (never creating, truncating or extending it) and, on success,
// into clientLanguage.
bool WriteClientLanguage(int32_t code);

// Action of the EN and ES labels: writes the code and tells the result on the status line.
void SetLanguage(int32_t code);

// 14 when the user's interface language is Spanish, 2 otherwise.
int32_t DefaultLanguageCode();

// First start: while no language has been chosen, write the one of the user's system.
void ChooseLanguageOnFirstStart();
