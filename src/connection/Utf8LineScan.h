#pragma once

// Finds the ends of lines (CR or LF) and checks that the bytes of each line are UTF-8, in one pass
// over the bytes. A line may arrive in pieces: `scan` is called for each piece in order, and
// `finishLine` once its end was found, to judge all its bytes together.
//
// On processors with AVX2 both jobs share the same 32-byte loads: a block is searched for CR and LF
// and, unless it is plain ASCII, checked with the table lookups of Keiser and Lemire ("Validating
// UTF-8 in less than one instruction per byte", 2021). Elsewhere a byte-at-a-time state machine
// does the check. Both agree on every input (the tests compare them with each other and with
// simdjson's validator).
class Utf8LineScan {
public:
    enum class Implementation { fastest, portable };

    explicit Utf8LineScan(Implementation implementation = Implementation::fastest);

    // The first CR or LF in [from, to), or `to` when the line goes on past this piece. The bytes
    // before the returned position belong to the current line and are checked. With `copy` they
    // are copied there too, in the same pass; up to 32 bytes after them may be overwritten.
    const char *scan(const char *from, const char *to, char *copy = nullptr);

    // Ends the current line and starts the next: true when every byte of the line was UTF-8 and its
    // last character is complete.
    bool finishLine();

    // True when this processor runs the vector form.
    static bool vectorAvailable();

private:
    void checkByte(unsigned char byte);

    bool m_vector;
    bool m_invalid = false;
    // The character being read byte by byte: continuation bytes still needed, and the range the
    // next one must fall in (narrower after E0, ED, F0 and F4).
    int m_needed = 0;
    unsigned char m_lowest = 0x80;
    unsigned char m_highest = 0xBF;
};
