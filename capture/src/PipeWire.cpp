// Parameter objects of the camera nodes.
#include "PipeWire.h"

namespace Capture {

spa_video_format SpaFormat(PixelFormat format)
{
    switch (format) {
    case PixelFormat::YUY2: return SPA_VIDEO_FORMAT_YUY2;
    case PixelFormat::UYVY: return SPA_VIDEO_FORMAT_UYVY;
    case PixelFormat::YV12: return SPA_VIDEO_FORMAT_YV12;
    case PixelFormat::I420: return SPA_VIDEO_FORMAT_I420;
    case PixelFormat::BGR: return SPA_VIDEO_FORMAT_BGR;
    }
    return SPA_VIDEO_FORMAT_UNKNOWN;
}

bool FromSpaFormat(uint32_t spa, PixelFormat *format)
{
    for (int i = 0; i < kPixelFormatCount; ++i) {
        if (uint32_t(SpaFormat(PixelFormat(i))) == spa) {
            *format = PixelFormat(i);
            return true;
        }
    }
    return false;
}

namespace {

const spa_pod *FormatEntry(spa_pod_builder *b, const std::vector<PixelFormat> &formats, bool choice, size_t index,
                           int32_t width, int32_t height, uint32_t rate_num, uint32_t rate_den)
{
    spa_pod_frame object;
    spa_pod_builder_push_object(b, &object, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
    spa_pod_builder_prop(b, SPA_FORMAT_mediaType, 0);
    spa_pod_builder_id(b, SPA_MEDIA_TYPE_video);
    spa_pod_builder_prop(b, SPA_FORMAT_mediaSubtype, 0);
    spa_pod_builder_id(b, SPA_MEDIA_SUBTYPE_raw);
    spa_pod_builder_prop(b, SPA_FORMAT_VIDEO_format, 0);
    if (choice && formats.size() > 1) {
        spa_pod_frame list;
        spa_pod_builder_push_choice(b, &list, SPA_CHOICE_Enum, 0);
        spa_pod_builder_id(b, SpaFormat(formats[0]));  // the default
        for (PixelFormat f : formats)
            spa_pod_builder_id(b, SpaFormat(f));
        spa_pod_builder_pop(b, &list);
    } else {
        spa_pod_builder_id(b, SpaFormat(formats[index]));
    }
    spa_pod_builder_prop(b, SPA_FORMAT_VIDEO_size, 0);
    spa_pod_builder_rectangle(b, uint32_t(width), uint32_t(height));
    spa_pod_builder_prop(b, SPA_FORMAT_VIDEO_framerate, 0);
    spa_pod_builder_fraction(b, rate_num, rate_den);
    return static_cast<const spa_pod *>(spa_pod_builder_pop(b, &object));
}

}  // namespace

std::vector<const spa_pod *> BuildFormatParams(PodBuffer &buffer, const std::vector<PixelFormat> &formats,
                                               int32_t width, int32_t height, uint32_t rate_num, uint32_t rate_den)
{
    std::vector<const spa_pod *> params;
    if (formats.empty())
        return params;
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer.bytes, sizeof buffer.bytes);
    params.push_back(FormatEntry(&b, formats, true, 0, width, height, rate_num, rate_den));
    if (formats.size() > 1) {
        for (size_t i = 0; i < formats.size(); ++i)
            params.push_back(FormatEntry(&b, formats, false, i, width, height, rate_num, rate_den));
    }
    return params;
}

void UpdateDeviceProperties(pw_stream *stream, const std::string &displayName, const std::string &serialNumber,
                            const std::string &address)
{
    spa_dict_item items[] = {
        SPA_DICT_ITEM_INIT(PW_KEY_NODE_DESCRIPTION, displayName.c_str()),
        SPA_DICT_ITEM_INIT(PW_KEY_NODE_NICK, displayName.c_str()),
        SPA_DICT_ITEM_INIT(PW_KEY_DEVICE_SERIAL, serialNumber.c_str()),
        SPA_DICT_ITEM_INIT("tessaline.serial", serialNumber.c_str()),
        SPA_DICT_ITEM_INIT("tessaline.address", address.c_str()),
    };
    spa_dict dict = SPA_DICT_INIT(items, SPA_N_ELEMENTS(items));
    pw_stream_update_properties(stream, &dict);
}

std::vector<const spa_pod *> BuildBufferParams(PodBuffer &buffer, size_t frame_bytes, int32_t stride)
{
    std::vector<const spa_pod *> params;
    spa_pod_builder b = SPA_POD_BUILDER_INIT(buffer.bytes, sizeof buffer.bytes);
    params.push_back(static_cast<const spa_pod *>(spa_pod_builder_add_object(
        &b, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
        SPA_POD_CHOICE_RANGE_Int(8, 2, 16), SPA_PARAM_BUFFERS_blocks, SPA_POD_Int(1), SPA_PARAM_BUFFERS_size,
        SPA_POD_Int(int32_t(frame_bytes)), SPA_PARAM_BUFFERS_stride, SPA_POD_Int(stride), SPA_PARAM_BUFFERS_dataType,
        SPA_POD_CHOICE_FLAGS_Int(1 << SPA_DATA_MemFd))));
    params.push_back(static_cast<const spa_pod *>(
        spa_pod_builder_add_object(&b, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type,
                                   SPA_POD_Id(SPA_META_Header), SPA_PARAM_META_size,
                                   SPA_POD_Int(int32_t(sizeof(spa_meta_header))))));
    return params;
}

}  // namespace Capture
