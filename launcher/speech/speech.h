// The screens spoken through speech-dispatcher, for players who use a screen
// reader: the launcher draws its own text, which a screen reader cannot read.
// Speech is on while the desktop says a screen reader is on, or as
// ORVL_SPEECH says; off, there is no thread and no connection. The speech
// server is talked to only from this room's own thread, so the loop never
// waits on it.
#pragma once

void speech_on(bool reader);    // once a pass: whether the desktop has a screen reader on
void speech_pass(bool acted);   // once a pass, after the frame: says what changed; acted: a button was pressed
void speech_repeat();           // the repeat key: the whole screen again, at the end of the pass
void speech_close();            // before the exit; a stuck server holds it a moment at most

// Within the room: say.cpp composes, speech.cpp speaks.
enum { SAY_CANCEL, SAY_SCREEN, SAY_FOCUS, SAY_STEP, SAY_PROGRESS, SAY_ALERT };
bool speaking();
void say(int kind, const char *text);  // queued for the thread, which drops the oldest when it is full
void say_afresh();                      // speech came on: the whole screen at the next pass
bool say_missed();                      // once: a failure went unsaid and the server takes texts again
