// The layout of a STOWPK.GBA image and of the byte ranges each record is
// cut from, shared by the packer and the reader.
//
// An image is a header of HEADER_SIZE bytes (the template's, with the record
// count at COUNT_OFFSET and a table of TABLE_SLOTS offsets at TABLE_OFFSET),
// then RECORD_SIZE bytes per record, then one all-zero closing record. Every
// integer in it is 32-bit little-endian; offsets count from the image's
// first byte.
#ifndef STOWPAK_IMAGE_LAYOUT_H
#define STOWPAK_IMAGE_LAYOUT_H

constexpr int HEADER_SIZE = 768;   // template bytes kept; offset of record 0
constexpr int COUNT_OFFSET = 256;  // the record count word
constexpr int TABLE_OFFSET = 512;  // the offset table
constexpr int TABLE_SLOTS = 64;    // 4-byte slots in the offset table
constexpr int RECORD_SIZE = 20096; // bytes per record, the closing one included
constexpr int BODY_SIZE = 20000;   // bytes of a record's body
constexpr int MAX_RECORDS = 63;    // the end slot needs the 64th table slot
constexpr int LABEL_SCAN_LIMIT = 28; // label bytes searched for the first NUL
constexpr int SOURCE_BUFFER_SIZE = 24576; // bytes read from each source file
constexpr int IMAGE_CAPACITY = 1573632;   // size of the in-memory image

// Where each record field lies in a source file and in a record.
constexpr int SOURCE_LEAD_OFFSET = 64;
constexpr int SOURCE_LABEL_OFFSET = 96;
constexpr int SOURCE_BODY_OFFSET = 160;
constexpr int FIELD_SIZE = 32;
constexpr int RECORD_LABEL_OFFSET = 32;
constexpr int RECORD_BODY_OFFSET = 96;
constexpr int SOURCE_USED_SIZE = SOURCE_BODY_OFFSET + BODY_SIZE;

// The size of a well-formed image that holds `records` records.
constexpr long long image_size_for(long long records) {
  return HEADER_SIZE + (records + 1) * RECORD_SIZE;
}

// The largest well-formed image: MAX_RECORDS records and the closing one.
constexpr long long MAX_IMAGE_SIZE = image_size_for(MAX_RECORDS);

#endif
