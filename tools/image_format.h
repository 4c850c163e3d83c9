// The signed image format: windows, key records, the block table and the
// code-window fields, with the in-memory signing and restoring of the blocks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "rsa_api.h"

constexpr int WINDOW_SIZE = 0x4000;
constexpr int SPL_WINDOW = 0;                         // output offset of the SPL window
constexpr int CODE_WINDOW = WINDOW_SIZE;              // output offset of the code window
constexpr int TAIL_OFFSET = 2 * WINDOW_SIZE;          // input and output offset of the tail

// Key record: 136 little-endian 32-bit digits, then `used` and `sign`.
constexpr int KEY_DIGIT_COUNT = 136;
constexpr int KEY_RECORD_USED = 4 * KEY_DIGIT_COUNT;
constexpr int KEY_RECORD_SIGN = KEY_RECORD_USED + 4;
constexpr int KEY_RECORD_SIZE = KEY_RECORD_SIGN + 4;
constexpr int KEY_RECORD_COUNT = 3;                   // modulus, public, private exponent
constexpr int KEY_FILE_SIZE = KEY_RECORD_COUNT * KEY_RECORD_SIZE;
static_assert(KEY_RECORD_SIZE == 552 && KEY_FILE_SIZE == 1656);
static_assert(RSA_FIELD_SIZE <= KEY_RECORD_USED, "a key field is a prefix of the digits");

// One transformed block of the SPL window, offsets from the window's start.
struct RSA_ENC_BLK {
    int32_t nEncStartAddr;
    int32_t nEncEndORG;  // last byte of the block, not transformed but saved
    int32_t nKeepAddr;   // where that last byte is kept
};

constexpr int ENC_BLK_COUNT = 4;
constexpr int ENC_BLK_SIZE = RSA_FIELD_SIZE;          // 128 bytes a block
constexpr int ENC_BLK_PLAIN = ENC_BLK_SIZE - 1;       // 127 bytes transformed
constexpr RSA_ENC_BLK encBlk[ENC_BLK_COUNT] = {
    {0, 127, 431},
    {128, 255, 430},
    {256, 383, 429},
    {752, 879, 428},
};

// Code-window fields.
constexpr int CODE_COMM_N = 384;
constexpr int CODE_COMM_E = CODE_COMM_N + RSA_FIELD_SIZE;
constexpr int CODE_SIGN_BLOB = CODE_COMM_E + RSA_FIELD_SIZE;   // N, E, then the table record
constexpr int CODE_SIGN_N = CODE_SIGN_BLOB + RSA_BLOB_N;
constexpr int CODE_SIGN_E = CODE_SIGN_BLOB + RSA_BLOB_E;
constexpr int CODE_BLOCK_TABLE = CODE_SIGN_BLOB + RSA_BLOB_D;
constexpr int BLOCK_TABLE_SIZE = RSA_FIELD_SIZE;
constexpr int BLOCK_TABLE_ENTRIES = 4;                // offset of the first entry
constexpr int BLOCK_TABLE_ENTRY_SIZE = 12;
static_assert(CODE_BLOCK_TABLE == 896 && CODE_BLOCK_TABLE + BLOCK_TABLE_SIZE == 1024);
static_assert(BLOCK_TABLE_ENTRIES + ENC_BLK_COUNT * BLOCK_TABLE_ENTRY_SIZE <= BLOCK_TABLE_SIZE);

constexpr bool blocks_fit_window()
{
    for (const RSA_ENC_BLK &blk : encBlk) {
        if (blk.nEncEndORG != blk.nEncStartAddr + ENC_BLK_PLAIN || blk.nEncEndORG >= WINDOW_SIZE) {
            return false;
        }
        for (const RSA_ENC_BLK &other : encBlk) {
            if (blk.nKeepAddr >= other.nEncStartAddr && blk.nKeepAddr <= other.nEncEndORG) {
                return false;
            }
        }
    }
    return true;
}
static_assert(blocks_fit_window(), "blocks lie in the window and no keep byte inside a block");

// Fills the 384-byte key blob from the low 128 bytes of each of the three
// key records in rsaKey (KEY_FILE_SIZE bytes).
void build_key_blob(unsigned char *szKey, const unsigned char *rsaKey);

// True when the blob's modulus has a non-zero top byte, is odd, and its two
// exponents undo each other on a test value.
bool signing_key_usable(const unsigned char *szKey);

// Transforms the four blocks of the SPL window with the blob's private
// exponent, saving each last byte at its keep offset, and checks that the
// blob's public exponent restores every block. Returns 0, or 1 when a block
// cannot be restored (the window is then of no use).
int sign_spl_window(unsigned char *szBuffSPL, const unsigned char *szKey);

// Wipes the private exponent from szKey, writes the block table record in its
// place, and stores the signing blob and the common key's public half (from
// its key records rsaKey_comm) in the code window.
void fill_code_window(unsigned char *szBuffSPLCode, unsigned char *szKey, const unsigned char *rsaKey_comm);

// The whole in-memory signing step on the four buffers read from the files.
// Wipes every private exponent in rsaKey, rsaKey_comm and szKey on every path.
// Returns 0, or 1 when the signing key is refused (windows not to be written).
int sign_windows(unsigned char *szBuffSPL, unsigned char *szBuffSPLCode, unsigned char *rsaKey,
                 unsigned char *rsaKey_comm, unsigned char *szKey);

// Writes the 128-byte block table record that describes encBlk.
void write_block_table_record(unsigned char *pRecord);

// Writes all nLen bytes at nOffset of fd with pwrite, going on after short
// writes and interruptions. Returns false on an error.
bool write_all_at(int fd, const unsigned char *pData, size_t nLen, long long nOffset);

// Undoes one 128-byte block with the public half at pPublic (modulus then
// exponent, 128 bytes each) into 127 bytes. Returns 0, or 1 when the codec
// refuses or the result does not fit 127 bytes.
int restore_block(const unsigned char *pBlock, const unsigned char *pPublic, unsigned char *pPlain);
