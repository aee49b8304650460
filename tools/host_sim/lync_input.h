// The input reports the phone sends the softphone on its interrupt
// endpoint, decoded the way the softphone understands them: sign-in
// request, sign-in failure, sign-out request, the hang-up pair, the
// acknowledge of a poll, and the GRUU in pieces, reassembled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class LyncInputDecoder {
  public:
    // Lines that describe report DATA (N bytes, as an interrupt URB returned
    // it): "input signin-request", "input hungup", ..., and once a GRUU's
    // last piece came, "input gruu length=N pieces=P text=TEXT". An empty
    // report (nothing to say) gives no line. Pieces that do not fit the
    // announced length, or that come without a first piece, are reported in
    // *FAILED.
    std::vector<std::string> decode(const uint8_t* data, size_t n,
                                    std::vector<std::string>* failed);
    int empty_reports() const { return m_empty; }

  private:
    void gruu_piece(const uint8_t* data, size_t n, std::vector<std::string>* lines,
                    std::vector<std::string>* failed);

    int m_empty = 0;
    bool m_gruu_open = false;
    size_t m_gruu_total = 0;
    int m_gruu_pieces = 0;
    std::string m_gruu;
};
