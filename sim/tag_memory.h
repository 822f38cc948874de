// How the virtual reader's tag operations (procedures 20-26) read their
// request, and the statuses they answer.  Plain constants, for the virtual
// reader and for the tests that drive it.
//
// Every operation first finds the addressed tag: the tag of the field whose
// identity length equals the request's id_bits and whose identity words
// (ceil(id_bits/16), at most 16) equal id[].  A tag that is not in the field,
// or that was killed, does not respond.
//
//   procedure          op_word1   op_word19        op_word20        data_bits / data[]
//   20 TAGID_WRITE     -          -                -                new identity: length in bits (0..300), words
//   21 TAGID_LOCK      -          password, high   password, low    -
//   22 TAG_KILL        -          password, high   password, low    -
//   23 TAG_PASSWD      -          password, high   password, low    32: new password (data[0] high, data[1] low)
//   24 TAGDATA_READ    area       first word       word count       - (answered: 16 * count, the words read)
//   25 TAGDATA_WRITE   area       first word       -                16 * n (rounded up): the n words to write
//   26 TAGDATA_LOCK    area       password, high   password, low    -
//
// A tag has area_count memory areas of area_words 16-bit words each (all
// zero when the tag enters the field), one 32-bit password (0 unless set)
// and a lock per area and for its identity.  A lock is permanent: a locked
// area or identity can no longer be written; locking takes the password.
//
// The reply echoes op_word1, op_word19 and op_word20 and names the tag in
// id_bits/id[] (after TAGID_WRITE: its new identity); data_bits is 0 except
// for TAGDATA_READ.  op_status is one of the statuses below.
#pragma once

#include <cstdint>

namespace qdsim::tagmem {

inline constexpr uint16_t area_count = 4;
inline constexpr uint16_t area_words = 1024;

// Memory areas (op_word1).  All four are data areas, except that the words
// of area_identity that the identity covers read back the identity (words 0
// to ceil(id_bits/16)-1); the identity is changed with TAGID_WRITE, not by
// writing area_identity.
inline constexpr uint16_t area_reserved = 0;
inline constexpr uint16_t area_identity = 1;
inline constexpr uint16_t area_tid = 2;
inline constexpr uint16_t area_user = 3;

// Most bits an identity may have.
inline constexpr uint16_t max_id_bits = 300;

// op_status of the reply.
inline constexpr int16_t status_ok = 0;
inline constexpr int16_t status_unable_to_comply = -103;  // locked, out of range, malformed request
inline constexpr int16_t status_no_response = -105;       // no such tag in the field, or killed
inline constexpr int16_t status_verify_failure = -108;    // wrong password

// Search statuses (OPERATION_STATUS).
inline constexpr int16_t search_waiting = -1;
inline constexpr int16_t search_running = -2;
inline constexpr int16_t search_done = -3;
inline constexpr int16_t search_unknown_default = -101;

}  // namespace qdsim::tagmem
