#include "audio_desc.h"

#include <bit>

#include "platform/byte_order.h"

namespace {

// Audio control interface descriptor subtypes.
constexpr uint8_t AC_HEADER = 1;
constexpr uint8_t AC_INPUT_TERMINAL = 2;
constexpr uint8_t AC_OUTPUT_TERMINAL = 3;
constexpr uint8_t AC_MIXER_UNIT = 4;
constexpr uint8_t AC_SELECTOR_UNIT = 5;
constexpr uint8_t AC_FEATURE_UNIT = 6;
constexpr uint8_t AC_PROCESSING_UNIT = 7;
constexpr uint8_t AC_EXTENSION_UNIT = 8;
// Audio streaming interface and endpoint descriptor subtypes.
constexpr uint8_t AS_GENERAL = 1;
constexpr uint8_t AS_FORMAT_TYPE = 2;
constexpr uint8_t EP_GENERAL = 1;

constexpr uint16_t ADC_1_0 = 0x0100;
constexpr uint16_t TERMINAL_USB_STREAMING = 0x0101;
constexpr uint8_t FORMAT_TYPE_I = 1;
constexpr uint16_t FORMAT_TYPE_I_LAST_TAG = 0x0005;  // PCM, PCM8, IEEE float, A-law, mu-law
constexpr int CHAIN_LIMIT = 32;  // longest source chain followed before calling it a loop

const char* entity_name(uint8_t subtype) {
    switch (subtype) {
        case AC_INPUT_TERMINAL:
            return "input-terminal";
        case AC_OUTPUT_TERMINAL:
            return "output-terminal";
        case AC_MIXER_UNIT:
            return "mixer-unit";
        case AC_SELECTOR_UNIT:
            return "selector-unit";
        case AC_FEATURE_UNIT:
            return "feature-unit";
        case AC_PROCESSING_UNIT:
            return "processing-unit";
        default:
            return "extension-unit";
    }
}

bool is_audio(const InterfaceDesc& intf, uint8_t subclass) {
    return intf.interface_class == CLASS_AUDIO && intf.interface_subclass == subclass;
}

// Units that list their input pins as bNrInPins then the ids: P is the
// descriptor, PINS the offset of bNrInPins. The offset after the ids, or 0
// when the descriptor is too short.
size_t read_sources(const uint8_t* p, size_t len, size_t pins, AudioEntity* e) {
    if (len <= pins || len < pins + 1 + p[pins]) return 0;
    e->sources.assign(p + pins + 1, p + pins + 1 + p[pins]);
    return pins + 1 + p[pins];
}

// One terminal or unit; false when it is too short to be used.
bool parse_entity(const uint8_t* p, size_t len, AudioEntity* e, CheckList* checks) {
    e->subtype = p[2];
    e->id = len > 3 ? p[3] : 0;
    size_t after = 0;
    switch (e->subtype) {
        case AC_INPUT_TERMINAL:
            if (len < 12) break;
            e->terminal_type = get_le16(p + 4);
            e->assoc = p[6];
            e->channels = p[7];
            e->channel_config = get_le16(p + 8);
            e->channel_names = p[10];
            e->string = p[11];
            return true;
        case AC_OUTPUT_TERMINAL:
            if (len < 9) break;
            e->terminal_type = get_le16(p + 4);
            e->assoc = p[6];
            e->sources.push_back(p[7]);
            e->string = p[8];
            return true;
        case AC_FEATURE_UNIT: {
            if (len < 7 || p[5] == 0 || (len - 7) % p[5] != 0 || len < 7u + p[5]) {
                checks->fail("feature unit %u: bLength %zu does not fit control size %u", e->id,
                             len, len > 5 ? p[5] : 0);
                return false;
            }
            e->sources.push_back(p[4]);
            e->control_size = p[5];
            for (size_t off = 6; off + e->control_size <= len - 1; off += e->control_size) {
                uint32_t v = 0;
                for (size_t b = 0; b < e->control_size && b < 4; ++b) {
                    v |= static_cast<uint32_t>(p[off + b]) << (8 * b);
                }
                e->controls.push_back(v);
            }
            e->string = p[len - 1];
            return true;
        }
        case AC_MIXER_UNIT:
        case AC_SELECTOR_UNIT:
            after = read_sources(p, len, 4, e);
            if (after == 0 || len <= after) break;
            if (e->subtype == AC_SELECTOR_UNIT) {
                e->string = p[after];
                return true;
            }
            if (len < after + 5) break;
            e->channels = p[after];
            e->channel_config = get_le16(p + after + 1);
            e->channel_names = p[after + 3];
            e->string = p[len - 1];
            return true;
        default:  // processing and extension units
            after = read_sources(p, len, 6, e);
            if (after == 0 || len < after + 5) break;
            e->channels = p[after];
            e->channel_config = get_le16(p + after + 1);
            e->channel_names = p[after + 3];
            e->string = p[len - 1];
            return true;
    }
    checks->fail("audio %s %u: descriptor too short (%zu bytes)", entity_name(e->subtype), e->id,
                 len);
    return false;
}

const AudioEntity* find_entity(const AudioFunction& audio, uint8_t id) {
    for (const AudioEntity& e : audio.entities) {
        if (e.id == id) return &e;
    }
    return nullptr;
}

// Channels an entity delivers, following the sources of units that pass
// their input through. -1 when unknown (missing source, loop).
int channels_of(const AudioFunction& audio, uint8_t id, int depth = 0) {
    const AudioEntity* e = find_entity(audio, id);
    if (!e || depth > CHAIN_LIMIT) return -1;
    if (e->channels != 0 || e->subtype == AC_INPUT_TERMINAL) return e->channels;
    if (e->sources.empty()) return -1;
    return channels_of(audio, e->sources[0], depth + 1);
}

void parse_control_interface(const ConfigDesc& config, size_t index, AudioFunction* audio,
                             CheckList* checks) {
    const InterfaceDesc& intf = config.interfaces[index];
    const uint8_t* base = config.bytes.data();
    size_t cs_total = 0;
    for (size_t i = 0; i < intf.class_specific.size(); ++i) {
        const DescRef& ref = intf.class_specific[i];
        const uint8_t* p = base + ref.offset;
        cs_total += ref.length;
        if (ref.length < 3) {
            checks->fail("audio control descriptor at offset %zu: bLength %u", ref.offset,
                         ref.length);
            continue;
        }
        if (p[2] == AC_HEADER) {
            if (i != 0 || audio->has_header) {
                checks->fail(
                    "audio control header at offset %zu is not the first class "
                    "descriptor of the only control interface",
                    ref.offset);
            }
            if (ref.length < 8 || ref.length != 8 + p[7]) {
                checks->fail("audio control header: bLength %u for %u streaming interfaces",
                             ref.length, ref.length >= 8 ? p[7] : 0);
                continue;
            }
            audio->has_header = true;
            audio->header_interface = index;
            audio->adc = get_le16(p + 3);
            audio->total_length = get_le16(p + 5);
            audio->streaming_interfaces.assign(p + 8, p + 8 + p[7]);
            if (audio->adc != ADC_1_0) {
                checks->fail("audio control header: bcdADC %04x, this host checks 1.00",
                             audio->adc);
            }
            continue;
        }
        if (p[2] < AC_INPUT_TERMINAL || p[2] > AC_EXTENSION_UNIT) {
            checks->fail("audio control descriptor at offset %zu: unknown subtype %u", ref.offset,
                         p[2]);
            continue;
        }
        AudioEntity e;
        e.interface_index = index;
        if (!parse_entity(p, ref.length, &e, checks)) continue;
        if (e.id == 0) {
            checks->fail("audio %s with id 0", entity_name(e.subtype));
        } else if (find_entity(*audio, e.id)) {
            checks->fail("audio id %u used twice", e.id);
        }
        audio->entities.push_back(e);
    }
    if (!audio->has_header) {
        checks->fail("interface %u: audio control interface without a header", intf.number);
    } else if (audio->total_length != cs_total) {
        checks->fail(
            "audio control header: wTotalLength %u but the class descriptors add up to "
            "%zu",
            audio->total_length, cs_total);
    }
}

void check_entities(const AudioFunction& audio, CheckList* checks) {
    for (const AudioEntity& e : audio.entities) {
        const char* name = entity_name(e.subtype);
        for (uint8_t src : e.sources) {
            const AudioEntity* s = find_entity(audio, src);
            if (!s) {
                checks->fail("audio %s %u: source %u does not exist", name, e.id, src);
            } else if (s->subtype == AC_OUTPUT_TERMINAL) {
                checks->fail("audio %s %u: source %u is an output terminal", name, e.id, src);
            }
        }
        if (e.assoc != 0) {
            const AudioEntity* a = find_entity(audio, e.assoc);
            uint8_t want = e.subtype == AC_INPUT_TERMINAL ? AC_OUTPUT_TERMINAL : AC_INPUT_TERMINAL;
            if (!a) {
                checks->fail("audio %s %u: associated terminal %u does not exist", name, e.id,
                             e.assoc);
            } else if (a->subtype != want) {
                checks->fail("audio %s %u: associated terminal %u is not an %s terminal", name,
                             e.id, e.assoc, want == AC_OUTPUT_TERMINAL ? "output" : "input");
            }
        }
        if (e.subtype == AC_INPUT_TERMINAL || e.subtype == AC_MIXER_UNIT ||
            e.subtype >= AC_PROCESSING_UNIT) {
            if (e.channels == 0) checks->fail("audio %s %u: no channels", name, e.id);
            if (std::popcount(e.channel_config) > e.channels) {
                checks->fail("audio %s %u: channel config %04x names more than %u channels", name,
                             e.id, e.channel_config, e.channels);
            }
        }
        if (e.subtype == AC_FEATURE_UNIT && !e.sources.empty()) {
            int have = static_cast<int>(e.controls.size()) - 1;
            int source = channels_of(audio, e.sources[0]);
            if (source < 0) {
                checks->fail(
                    "audio feature-unit %u: channels of source %u unknown (missing or "
                    "a loop)",
                    e.id, e.sources[0]);
            } else if (have != source) {
                checks->fail("audio feature-unit %u: controls for %d channels, source %u has %d",
                             e.id, have, e.sources[0], source);
            }
        }
    }
}

void parse_format(const uint8_t* p, size_t len, AudioStream* s, CheckList* checks,
                  const InterfaceDesc& intf) {
    if (len < 8) {
        checks->fail("interface %u alt %u: format type descriptor of %zu bytes", intf.number,
                     intf.alt, len);
        return;
    }
    s->has_format = true;
    s->format_type = p[3];
    if (s->format_type != FORMAT_TYPE_I) return;
    s->channels = p[4];
    s->subframe = p[5];
    s->bits = p[6];
    uint8_t count = p[7];
    size_t want = count == 0 ? 14 : 8 + 3u * count;
    if (len != want) {
        checks->fail("interface %u alt %u: format type I bLength %zu for %u rates, expected %zu",
                     intf.number, intf.alt, len, count, want);
    }
    s->continuous = count == 0;
    size_t rates = count == 0 ? 2 : count;
    for (size_t i = 0; i < rates && 8 + 3 * i + 3 <= len; ++i) {
        const uint8_t* r = p + 8 + 3 * i;
        s->rates.push_back(static_cast<uint32_t>(r[0] | (r[1] << 8) | (r[2] << 16)));
    }
}

void check_stream(const AudioFunction& audio, const InterfaceDesc& intf, const AudioStream& s,
                  CheckList* checks) {
    unsigned n = intf.number, alt = intf.alt;
    if (!s.has_general || !s.has_format) {
        checks->fail("interface %u alt %u: streaming without %s descriptor", n, alt,
                     s.has_general ? "a format type" : "a general");
        return;
    }
    bool out = !intf.endpoints.empty() && (intf.endpoints[0].address & 0x80) == 0;
    const AudioEntity* t = find_entity(audio, s.link);
    uint8_t want = out ? AC_INPUT_TERMINAL : AC_OUTPUT_TERMINAL;
    if (!t || t->subtype != want || t->terminal_type != TERMINAL_USB_STREAMING) {
        checks->fail("interface %u alt %u: terminal link %u is no USB streaming %s terminal", n,
                     alt, s.link, out ? "input" : "output");
    }
    if (s.format_tag >= 0x0001 && s.format_tag <= FORMAT_TYPE_I_LAST_TAG &&
        s.format_type != FORMAT_TYPE_I) {
        checks->fail("interface %u alt %u: format tag %04x with format type %u", n, alt,
                     s.format_tag, s.format_type);
    }
    if (s.format_type != FORMAT_TYPE_I) return;
    if (s.channels == 0) checks->fail("interface %u alt %u: format with 0 channels", n, alt);
    if (s.subframe < 1 || s.subframe > 4) {
        checks->fail("interface %u alt %u: subframe size %u outside 1..4", n, alt, s.subframe);
    }
    if (s.bits == 0 || s.bits > 8 * s.subframe) {
        checks->fail("interface %u alt %u: %u bits do not fit %u-byte subframes", n, alt, s.bits,
                     s.subframe);
    }
    uint32_t max_rate = 0;
    for (uint32_t r : s.rates) {
        if (r == 0) checks->fail("interface %u alt %u: sample rate 0", n, alt);
        if (r > max_rate) max_rate = r;
    }
    if (s.continuous && s.rates.size() == 2 && s.rates[0] > s.rates[1]) {
        checks->fail("interface %u alt %u: rate range %u..%u", n, alt, s.rates[0], s.rates[1]);
    }
    if (t) {
        int terminal_channels = channels_of(audio, t->id);
        if (terminal_channels >= 0 && terminal_channels != s.channels) {
            checks->fail("interface %u alt %u: format has %u channels, terminal %u carries %d", n,
                         alt, s.channels, t->id, terminal_channels);
        }
    }
    for (const EndpointDesc& ep : intf.endpoints) {
        if ((ep.attributes & 0x03) != EP_XFER_ISO) {
            checks->fail("interface %u alt %u: endpoint 0x%02x is not isochronous", n, alt,
                         ep.address);
            continue;
        }
        uint32_t per_frame = (max_rate + 999) / 1000 * s.channels * s.subframe;
        if ((ep.max_packet & 0x07FF) < per_frame) {
            checks->fail(
                "endpoint 0x%02x: max packet %u is less than the %u bytes of 1 ms at "
                "%u Hz",
                ep.address, ep.max_packet & 0x07FF, per_frame, max_rate);
        }
    }
}

void parse_streaming_interface(const ConfigDesc& config, size_t index, AudioFunction* audio,
                               CheckList* checks) {
    const InterfaceDesc& intf = config.interfaces[index];
    const uint8_t* base = config.bytes.data();
    if (intf.alt == 0 && !intf.endpoints.empty()) {
        checks->fail(
            "interface %u alt 0: an audio streaming interface must have no endpoints "
            "in alt 0",
            intf.number);
    }
    AudioStream s;
    s.interface_index = index;
    for (const DescRef& ref : intf.class_specific) {
        const uint8_t* p = base + ref.offset;
        if (ref.length >= 7 && p[2] == AS_GENERAL) {
            if (ref.length != 7) {
                checks->fail("interface %u alt %u: streaming general bLength %u", intf.number,
                             intf.alt, ref.length);
            }
            s.has_general = true;
            s.link = p[3];
            s.delay = p[4];
            s.format_tag = get_le16(p + 5);
        } else if (ref.length >= 3 && p[2] == AS_FORMAT_TYPE) {
            parse_format(p, ref.length, &s, checks, intf);
        }
    }
    for (size_t e = 0; e < intf.endpoints.size(); ++e) {
        const EndpointDesc& ep = intf.endpoints[e];
        if (ep.ref.length != 9) {
            checks->fail("endpoint 0x%02x: audio streaming endpoint of %u bytes, expected 9",
                         ep.address, ep.ref.length);
        }
        bool general = false;
        for (const DescRef& ref : ep.class_specific) {
            const uint8_t* p = base + ref.offset;
            if (ref.length != 7 || p[2] != EP_GENERAL) continue;
            general = true;
            AudioEndpoint ae;
            ae.interface_index = index;
            ae.endpoint_index = e;
            ae.attributes = p[3];
            ae.lock_units = p[4];
            ae.lock_delay = get_le16(p + 5);
            audio->endpoints.push_back(ae);
        }
        if (!general) {
            checks->fail("endpoint 0x%02x: no class-specific endpoint descriptor", ep.address);
        }
    }
    if (!intf.endpoints.empty()) {
        check_stream(*audio, intf, s, checks);
        audio->streams.push_back(s);
    } else if (s.has_general || s.has_format) {
        audio->streams.push_back(s);
    }
}

std::string string_field(const std::map<uint8_t, std::string>& strings, uint8_t index) {
    if (index == 0) return "";
    auto it = strings.find(index);
    return it == strings.end() ? strfmt(" string=#%u", index) : " string=" + it->second;
}

std::string id_list(const std::vector<uint8_t>& ids) {
    std::string s;
    for (size_t i = 0; i < ids.size(); ++i) s += strfmt(i ? ",%u" : "%u", ids[i]);
    return s;
}

std::string format_entity(const AudioEntity& e, const std::map<uint8_t, std::string>& strings) {
    std::string s = strfmt("audio %s %u", entity_name(e.subtype), e.id);
    switch (e.subtype) {
        case AC_INPUT_TERMINAL:
            s += strfmt(" type=%04x assoc=%u channels=%u config=%04x", e.terminal_type, e.assoc,
                        e.channels, e.channel_config);
            break;
        case AC_OUTPUT_TERMINAL:
            s += strfmt(" type=%04x assoc=%u source=%s", e.terminal_type, e.assoc,
                        id_list(e.sources).c_str());
            break;
        case AC_FEATURE_UNIT: {
            s += strfmt(" source=%s channels=%zu controls=", id_list(e.sources).c_str(),
                        e.controls.empty() ? 0 : e.controls.size() - 1);
            for (size_t i = 0; i < e.controls.size(); ++i) {
                s += strfmt("%s%0*x", i ? "," : "", 2 * e.control_size, e.controls[i]);
            }
            break;
        }
        default:
            s += " sources=" + id_list(e.sources);
            if (e.channels) s += strfmt(" channels=%u", e.channels);
            break;
    }
    return s + string_field(strings, e.string);
}

}  // namespace

void parse_audio(const ConfigDesc& config, AudioFunction* audio, CheckList* checks) {
    *audio = AudioFunction();
    for (size_t i = 0; i < config.interfaces.size(); ++i) {
        if (is_audio(config.interfaces[i], AUDIO_CONTROL)) {
            parse_control_interface(config, i, audio, checks);
        }
    }
    check_entities(*audio, checks);
    for (size_t i = 0; i < config.interfaces.size(); ++i) {
        const InterfaceDesc& intf = config.interfaces[i];
        if (!is_audio(intf, AUDIO_STREAMING)) continue;
        parse_streaming_interface(config, i, audio, checks);
        bool listed = false;
        for (uint8_t n : audio->streaming_interfaces) listed = listed || n == intf.number;
        if (!listed && intf.alt == 0) {
            checks->fail(
                "interface %u: audio streaming interface not listed in the audio control "
                "header",
                intf.number);
        }
    }
    for (uint8_t n : audio->streaming_interfaces) {
        bool found = false;
        for (const InterfaceDesc& intf : config.interfaces) {
            found = found || (intf.number == n && is_audio(intf, AUDIO_STREAMING));
        }
        if (!found) {
            checks->fail("audio control header: streaming interface %u does not exist", n);
        }
    }
}

std::set<uint8_t> audio_string_indices(const AudioFunction& audio) {
    std::set<uint8_t> indices;
    for (const AudioEntity& e : audio.entities) {
        if (e.string) indices.insert(e.string);
        if (e.channel_names) indices.insert(e.channel_names);
    }
    return indices;
}

void format_audio(const AudioFunction& audio, const std::map<uint8_t, std::string>& strings,
                  ClassLines* lines) {
    if (audio.has_header) {
        std::vector<std::string>& ac = lines->interface[audio.header_interface];
        ac.push_back(strfmt("audio header adc=%04x total=%u streaming=%s", audio.adc,
                            audio.total_length, id_list(audio.streaming_interfaces).c_str()));
    }
    for (const AudioEntity& e : audio.entities) {
        lines->interface[e.interface_index].push_back(format_entity(e, strings));
    }
    for (const AudioStream& s : audio.streams) {
        std::vector<std::string>& as = lines->interface[s.interface_index];
        if (s.has_general) {
            as.push_back(strfmt("audio streaming link=%u delay=%u format=%04x", s.link, s.delay,
                                s.format_tag));
        }
        if (s.has_format && s.format_type == FORMAT_TYPE_I) {
            std::string rates;
            for (size_t i = 0; i < s.rates.size(); ++i) {
                rates += strfmt("%s%u", i ? (s.continuous ? "-" : ",") : "", s.rates[i]);
            }
            as.push_back(strfmt("audio format type=1 channels=%u subframe=%u bits=%u rates=%s",
                                s.channels, s.subframe, s.bits, rates.c_str()));
        } else if (s.has_format) {
            as.push_back(strfmt("audio format type=%u", s.format_type));
        }
    }
    for (const AudioEndpoint& ep : audio.endpoints) {
        lines->endpoint[{ep.interface_index, ep.endpoint_index}].push_back(
            strfmt("audio endpoint controls=%02x lock-units=%u lock-delay=%u", ep.attributes,
                   ep.lock_units, ep.lock_delay));
    }
}
