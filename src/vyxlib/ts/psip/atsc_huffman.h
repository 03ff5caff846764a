#ifndef VYX_ATSC_HUFFMAN_H
#define VYX_ATSC_HUFFMAN_H

// Decoder of the ATSC Huffman-coded string segments (compression_type 1:
// titles, 2: descriptions).  The trees are data in atsc_huffman_tables.cpp.

extern const unsigned char atsc_huffman_title_tree[1940];
extern const unsigned char atsc_huffman_description_tree[1782];

// Decodes `size` bytes of `compressed` with the tree of `table_index` (1 or
// 2) into retval, which holds `capacity` bytes (terminator included).  Stops
// at the end character, after size * 8 bits, when retval is full, or at an
// escaped character of 128 or more; an escaped NUL is dropped (the text goes
// on).  *out_size = characters + 1.  An unknown
// table gives the empty string.  Returns retval.
char* atsc_huffman1_to_string(const unsigned char* compressed, char* retval, unsigned int size,
                              unsigned int* out_size, unsigned int table_index,
                              unsigned int capacity);

#endif
