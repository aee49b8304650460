// The class-specific descriptors of USB audio (class 1.0): the audio control
// header with its terminals and units, and per streaming alternate setting
// the general and format type I descriptors and the class-specific endpoint.
// The checks are those a host driver relies on: lengths that add up, ids that
// exist, formats whose sizes and rates fit the endpoint.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "config_desc.h"
#include "host_text.h"

struct AudioEntity {
    size_t interface_index = 0;  // in ConfigDesc::interfaces
    uint8_t subtype = 0;         // 2 input terminal, 3 output terminal, 4..8 units
    uint8_t id = 0;
    uint16_t terminal_type = 0;
    uint8_t assoc = 0;
    uint8_t channels = 0;  // channels it produces, 0 when it takes them from its source
    uint16_t channel_config = 0;
    uint8_t channel_names = 0;
    uint8_t string = 0;
    std::vector<uint8_t> sources;
    uint8_t control_size = 0;        // feature unit
    std::vector<uint32_t> controls;  // feature unit: master, then one per channel
};

struct AudioStream {
    size_t interface_index = 0;
    bool has_general = false;
    uint8_t link = 0;
    uint8_t delay = 0;
    uint16_t format_tag = 0;
    bool has_format = false;
    uint8_t format_type = 0;
    uint8_t channels = 0;
    uint8_t subframe = 0;
    uint8_t bits = 0;
    bool continuous = false;  // rates holds the lower and upper bound
    std::vector<uint32_t> rates;
};

struct AudioEndpoint {
    size_t interface_index = 0;
    size_t endpoint_index = 0;
    uint8_t attributes = 0;
    uint8_t lock_units = 0;
    uint16_t lock_delay = 0;
};

struct AudioFunction {
    bool has_header = false;
    size_t header_interface = 0;
    uint16_t adc = 0;
    uint16_t total_length = 0;
    std::vector<uint8_t> streaming_interfaces;
    std::vector<AudioEntity> entities;
    std::vector<AudioStream> streams;
    std::vector<AudioEndpoint> endpoints;
};

// Parses and checks every audio interface of CONFIG. A configuration without
// audio interfaces gives an empty model and no failures.
void parse_audio(const ConfigDesc& config, AudioFunction* audio, CheckList* checks);

// The string indices the audio descriptors name (terminals, channel names,
// units), which the host reads like the interface strings.
std::set<uint8_t> audio_string_indices(const AudioFunction& audio);

// Adds the "audio ..." report lines to LINES.
void format_audio(const AudioFunction& audio, const std::map<uint8_t, std::string>& strings,
                  ClassLines* lines);
