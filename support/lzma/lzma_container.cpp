#include "lzma_container.h"

#include <Alloc.h>
#include <LzmaDec.h>
#include <LzmaEnc.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <new>

static_assert(lzma_corrupt == SZ_ERROR_DATA && lzma_out_of_memory == SZ_ERROR_MEM &&
              lzma_unsupported == SZ_ERROR_UNSUPPORTED &&
              lzma_truncated_header == SZ_ERROR_INPUT_EOF && lzma_read_failed == SZ_ERROR_READ &&
              lzma_write_failed == SZ_ERROR_WRITE && lzma_thread_failed == SZ_ERROR_THREAD);

namespace {

constexpr std::size_t size_field_offset = LZMA_PROPS_SIZE;
constexpr std::size_t size_field_length = 8;
constexpr std::size_t step_buffer_size = std::size_t{1} << 16;

struct encoder_deleter {
    void operator()(CLzmaEncHandle encoder) const noexcept {
        LzmaEnc_Destroy(encoder, &g_Alloc, &g_BigAlloc);
    }
};
using encoder_owner = std::unique_ptr<CLzmaEnc, encoder_deleter>;

CLzmaEncProps level5_properties() {
    CLzmaEncProps properties;
    LzmaEncProps_Init(&properties);
    properties.level = 5;
    // Stated explicitly: newer SDKs widen the level-5 dictionary.
    properties.dictSize = container_dictionary_size;
    properties.numThreads = 2;
    properties.writeEndMark = 0;
    return properties;
}

bool write_all(ISeqOutStreamPtr output, const Byte* data, std::size_t size) {
    return ISeqOutStream_Write(output, data, size) == size;
}

SRes write_header(CLzmaEncHandle encoder, std::uint64_t input_size, ISeqOutStreamPtr output) {
    Byte header[container_header_size];
    SizeT properties_size = LZMA_PROPS_SIZE;
    if (SRes result = LzmaEnc_WriteProperties(encoder, header, &properties_size); result != SZ_OK)
        return result;
    for (std::size_t i = 0; i < size_field_length; ++i)
        header[size_field_offset + i] = static_cast<Byte>(input_size >> (8 * i));
    return write_all(output, header, sizeof header) ? SZ_OK : SZ_ERROR_WRITE;
}

// Reads exactly the header, looping over short reads.
SRes read_header(ISeqInStreamPtr input, Byte (&header)[container_header_size]) {
    std::size_t filled = 0;
    while (filled < container_header_size) {
        std::size_t count = container_header_size - filled;
        if (ISeqInStream_Read(input, header + filled, &count) != SZ_OK)
            return SZ_ERROR_READ;
        if (count == 0)
            return SZ_ERROR_INPUT_EOF;
        filled += count;
    }
    return SZ_OK;
}

std::uint64_t little_endian_at(const Byte* bytes, std::size_t count) {
    std::uint64_t value = 0;
    for (std::size_t i = count; i-- > 0;)
        value = (value << 8) | bytes[i];
    return value;
}

std::uint64_t stated_size(const Byte (&header)[container_header_size]) {
    return little_endian_at(header + size_field_offset, size_field_length);
}

struct decoder_state {
    CLzmaDec decoder;
    decoder_state() { LzmaDec_Construct(&decoder); }
    ~decoder_state() { LzmaDec_Free(&decoder, &g_Alloc); }
    decoder_state(const decoder_state&) = delete;
    decoder_state& operator=(const decoder_state&) = delete;
};

// The decoding loop: refill the input buffer when it is used up, decode one step
// into the output buffer, write that step out, and stop on an error, on the stated
// size, or when a step makes no progress.
class stream_decoder {
  public:
    stream_decoder(CLzmaDec& decoder, ISeqInStreamPtr input, ISeqOutStreamPtr output,
                   std::uint64_t size)
        : decoder_(decoder), input_(input), output_(output),
          size_is_stated_(size != size_not_stated), bytes_owed_(size) {}

    SRes run(Byte* input_buffer, Byte* output_buffer) {
        LzmaDec_Init(&decoder_);
        for (;;) {
            if (input_position_ == input_filled_) {
                if (SRes result = refill(input_buffer); result != SZ_OK)
                    return result;
            }
            const step_outcome step = decode_step(input_buffer, output_buffer);
            if (!write_all(output_, output_buffer, step.produced))
                return SZ_ERROR_WRITE;
            if (step.result != SZ_OK || (size_is_stated_ && bytes_owed_ == 0))
                return step.result;
            if (step.consumed == 0 && step.produced == 0)
                return size_is_stated_ || step.status != LZMA_STATUS_FINISHED_WITH_MARK
                           ? SZ_ERROR_DATA
                           : SZ_OK;
        }
    }

  private:
    struct step_outcome {
        SRes result;
        ELzmaStatus status;
        SizeT consumed;
        SizeT produced;
    };

    SRes refill(Byte* input_buffer) {
        input_filled_ = step_buffer_size;
        input_position_ = 0;
        if (ISeqInStream_Read(input_, input_buffer, &input_filled_) != SZ_OK)
            return SZ_ERROR_READ;
        return SZ_OK;
    }

    step_outcome decode_step(const Byte* input_buffer, Byte* output_buffer) {
        step_outcome step{SZ_OK, LZMA_STATUS_NOT_SPECIFIED, input_filled_ - input_position_,
                          step_buffer_size};
        ELzmaFinishMode finish = LZMA_FINISH_ANY;
        if (size_is_stated_ && step.produced > bytes_owed_) {
            step.produced = static_cast<SizeT>(bytes_owed_);
            finish = LZMA_FINISH_END;
        }
        step.result = LzmaDec_DecodeToBuf(&decoder_, output_buffer, &step.produced,
                                          input_buffer + input_position_, &step.consumed, finish,
                                          &step.status);
        input_position_ += step.consumed;
        bytes_owed_ -= step.produced;
        return step;
    }

    CLzmaDec& decoder_;
    ISeqInStreamPtr input_;
    ISeqOutStreamPtr output_;
    bool size_is_stated_;
    std::uint64_t bytes_owed_;
    std::size_t input_position_ = 0;
    std::size_t input_filled_ = 0;
};

// The properties must be supported, and the dictionary no larger than a 32-bit
// process can reasonably hold: a corrupt header must not make the launcher try to
// allocate gigabytes.
SRes check_dictionary(const Byte (&header)[container_header_size]) {
    CLzmaProps properties;
    if (SRes result = LzmaProps_Decode(&properties, header, LZMA_PROPS_SIZE); result != SZ_OK)
        return result;
    return properties.dicSize <= largest_dictionary_size ? SZ_OK : SZ_ERROR_MEM;
}

// A dictionary of at least the stated size holds every byte the stream can refer
// to; the SDK's smallest is 4 KiB.
void limit_dictionary_to_stated_size(Byte (&header)[container_header_size]) {
    const std::uint64_t size = stated_size(header);
    if (size == size_not_stated || size >= little_endian_at(header + 1, 4))
        return;
    std::uint32_t limited = static_cast<std::uint32_t>(std::max<std::uint64_t>(size, 1u << 12));
    for (int index = 1; index <= 4; ++index, limited >>= 8)
        header[index] = static_cast<Byte>(limited);
}

} // namespace

std::uint64_t container_decode_memory(const Byte (&header)[container_header_size]) noexcept {
    Byte limited[container_header_size];
    std::copy(std::begin(header), std::end(header), std::begin(limited));
    limit_dictionary_to_stated_size(limited);
    CLzmaProps properties;
    const std::uint64_t buffers = 2 * step_buffer_size;
    if (LzmaProps_Decode(&properties, limited, LZMA_PROPS_SIZE) != SZ_OK)
        return buffers;
    // The decoder's probability tables (LzmaDec.c), two or four bytes each.
    const std::uint64_t tables =
        (1846 + (std::uint64_t{0x300} << (properties.lc + properties.lp))) * 4;
    return buffers + tables + properties.dicSize;
}

lzma_result compress_container(ISeqInStreamPtr input, std::uint64_t input_size,
                               ISeqOutStreamPtr output) noexcept {
    encoder_owner encoder(LzmaEnc_Create(&g_Alloc));
    if (!encoder)
        return SZ_ERROR_MEM;
    const CLzmaEncProps properties = level5_properties();
    if (SRes result = LzmaEnc_SetProps(encoder.get(), &properties); result != SZ_OK)
        return result;
    LzmaEnc_SetDataSize(encoder.get(), input_size);
    if (SRes result = write_header(encoder.get(), input_size, output); result != SZ_OK)
        return result;
    return LzmaEnc_Encode(encoder.get(), output, input, nullptr, &g_Alloc, &g_BigAlloc);
}

lzma_result decompress_container(ISeqInStreamPtr input, ISeqOutStreamPtr output) noexcept {
    Byte header[container_header_size];
    if (SRes result = read_header(input, header); result != SZ_OK)
        return result;
    if (SRes result = check_dictionary(header); result != SZ_OK)
        return result;
    limit_dictionary_to_stated_size(header);
    decoder_state state;
    if (SRes result = LzmaDec_Allocate(&state.decoder, header, LZMA_PROPS_SIZE, &g_Alloc);
        result != SZ_OK)
        return result;
    std::unique_ptr<Byte[]> input_buffer(new (std::nothrow) Byte[step_buffer_size]);
    std::unique_ptr<Byte[]> output_buffer(new (std::nothrow) Byte[step_buffer_size]);
    if (!input_buffer || !output_buffer)
        return SZ_ERROR_MEM;
    stream_decoder decoder(state.decoder, input, output, stated_size(header));
    return decoder.run(input_buffer.get(), output_buffer.get());
}

namespace {

CFileSeqInStream input_stream(const CSzFile& file) {
    CFileSeqInStream stream;
    FileSeqInStream_CreateVTable(&stream);
    stream.file = file;
    stream.wres = 0;
    return stream;
}

CFileOutStream output_stream(const CSzFile& file) {
    CFileOutStream stream;
    FileOutStream_CreateVTable(&stream);
    stream.file = file;
    stream.wres = 0;
    return stream;
}

// Passes the decoded bytes on to the file and adds those written to a digest.
struct digesting_output {
    ISeqOutStream vt;
    ISeqOutStreamPtr target;
    content_digester* digest;
};

std::size_t write_and_digest(ISeqOutStreamPtr stream, const void* data, std::size_t size) {
    // The SDK hands back the vtable pointer it was given, the struct's first member.
    const auto* self = reinterpret_cast<const digesting_output*>(stream);
    const std::size_t written = ISeqOutStream_Write(self->target, data, size);
    self->digest->update(data, written);
    return written;
}

} // namespace

lzma_result compress_container_files(const CSzFile& input, std::uint64_t input_size,
                                     const CSzFile& output) noexcept {
    CFileSeqInStream in = input_stream(input);
    CFileOutStream out = output_stream(output);
    return compress_container(&in.vt, input_size, &out.vt);
}

lzma_result decompress_container_files(const CSzFile& input, const CSzFile& output) noexcept {
    CFileSeqInStream in = input_stream(input);
    CFileOutStream out = output_stream(output);
    return decompress_container(&in.vt, &out.vt);
}

lzma_result decompress_container_files(const CSzFile& input, const CSzFile& output,
                                       content_digester& written) noexcept {
    CFileSeqInStream in = input_stream(input);
    CFileOutStream out = output_stream(output);
    const digesting_output digesting{{write_and_digest}, &out.vt, &written};
    return decompress_container(&in.vt, &digesting.vt);
}
