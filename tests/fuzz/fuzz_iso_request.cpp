// Feeds arbitrary bytes, as a converted isochronous request, to the packet
// table reader the streaming workers use, and builds the reply descriptors
// and the capture data area from whatever it accepts; also takes the bytes
// as the OUT audio of such a request through the 10 ms framing FIFO.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "soft_dev/iso_request.h"
#include "soft_dev/sample_fifo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static quor::IsoLayout layout;
    if (quor::read_iso_layout(data, size, &layout) == 0) {
        for (size_t i = 0; i < layout.count; ++i) {
            quor::IsoSlice& s = layout.slice[i];
            if (layout.out_data != nullptr && s.length > 0) {
                // The OUT data a slice names lies inside the request.
                volatile uint8_t last = layout.out_data[s.offset + s.length - 1];
                (void)last;
            }
            s.actual = s.length;
        }
        std::vector<uint8_t> descs(quor::MAX_ISO_PACKETS * quor::USBIP_ISO_DESC_SIZE);
        if (quor::put_iso_descriptors(layout, descs.data()) > descs.size()) __builtin_trap();
    }
    static quor::SampleFifo fifo;
    uint8_t frame[960];
    for (size_t at = 0; at < size;) {
        at += fifo.push(data + at, size - at);
        while (fifo.pop(frame, sizeof(frame))) {
        }
    }
    return 0;
}
