#ifndef PLATFORM_PLAYER_H
#define PLATFORM_PLAYER_H

// The media player stand-in: command queue 1234, status segment 2000, the
// plug-in it loads, the tuner that feeds the transmitter's plug-in and the
// stream reception that feeds the receiver's plug-in with PAT/PMT sections.

#include <cstddef>
#include <cstdint>
#include <string>

#include "jsonl.h"
#include "quv_interprocess.h"

// --- decoding (player_decode.cpp) --------------------------------------------
// Adds the fields of the command record in `text` (the message text, `len`
// bytes, starting with the command id) to `j` by their record field names.
// Nested layer and video records are flattened; the layer's own command id is
// "dispParam.cmmdId".  Returns the command id (0 when the text is shorter than
// one word, with "short":true).
int32_t decode_command(const char* text, size_t len, JsonLine& j);
// Short name of a command id ("stream", "stopall", ...), "unknown" if none.
const char* command_name(int32_t cmmdId);

// --- plug-in (player_plugin.cpp) --------------------------------------------
// Loads the plug-in once (VYX_LIBVYX, default /tmp/lumo/libvyx.so) and calls
// Vyx_Start_Filter(type); a later call calls it again (the plug-in reports a
// second start itself).  Logs {"event":"load",...}.
bool plugin_load(char type, JsonlWriter& log);
bool plugin_loaded();
// Hands a buffer to Vyx_Filter when the plug-in is loaded; false otherwise.
bool plugin_filter(unsigned char* data, unsigned len);
void plugin_set_log(JsonlWriter* log);

// --- status segment (player_status.cpp) --------------------------------------
bool status_create(JsonlWriter& log);
void status_set_strength(int32_t strength);
void status_set_video(int32_t progId, int32_t vidType, int32_t audType, const char* item);
void status_set_browser(const char* url);  // null: browser layer stopped
// The video layer's geometry (vOsdCx, vOsdCy, vOsdWidth, vOsdHeight).
void status_set_video_geometry(int32_t cx, int32_t cy, int32_t width, int32_t height);
void status_set_program(int32_t progId);
// vidType/audType: 1 while stream data really arrives, 0 otherwise.
void status_set_playing(bool playing);
// Logs every change of the IR system code that the plug-in writes into the
// record ("ir_system_code"), from a thread of its own.
void status_watch_ir_code(JsonlWriter& log);
void status_stop_watch();  // after a stop was requested: waits for the watcher
void status_set_network(const char* ip, const char* mask, const char* gateway);
// The host's "now playing" file that the SNMP agent reports as
// CURRENT_ITEM_BEING_PLAYED.
void status_publish_item(const char* item);

// --- tuner (player_tuner.cpp) ---------------------------------------------
// Tunes channel N of the channel map (VYX_CHANNELS): sets the signal strength
// and starts the feed of the channel's file to the plug-in; an unmapped
// channel gives strength 0 and no feed.  Stops any running feed first.
void tuner_tune(int32_t channel, int32_t subChannel, JsonlWriter& log);
void tuner_stop_feed(JsonlWriter& log, const char* why);
// Bit rate of a transport stream from its first PCR PID (bits/s), 0 if the
// data holds fewer than two usable PCRs.
double ts_bitrate_from_pcr(const uint8_t* data, size_t len);

// --- stream reception (player_receiver.cpp) ----------------------------------
// Plays addr:port (RTP when the flag is set in portNo): receives the stream
// and hands each complete PAT and PMT section to the plug-in.
void receiver_play(const char* addr, int32_t portNo, JsonlWriter& log);
void receiver_stop(JsonlWriter& log);
// True while a stream is being received (datagrams within the last 3 s).
bool receiver_active();

// --- display (player_display.cpp) -------------------------------------------
// A layer command (64 picture, 65 video, 66 browser) or the layer record of a
// play command: the layer takes the geometry; logged as "layer".
void display_set_layer(int32_t layerCmmd, const _sQUV_LAYER_INFO& g, const char* why, JsonlWriter& log);
// The browser layer shows `url` (with its geometry when given); "browser".
void display_browser(const char* url, const _sQUV_LAYER_INFO* g, JsonlWriter& log);
// The program and audio PID a stream starts with.
void display_play(int32_t program, int32_t audioPid);
// "-vdbg 14 prog pid": the played audio PID changes; "audio_pid".
void display_switch_audio(int32_t program, int32_t audioPid, JsonlWriter& log);

#endif
