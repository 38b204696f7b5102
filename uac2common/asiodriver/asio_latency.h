// The latency the driver reports to hosts: what the USB transfers, the
// converters and the ASIO buffers in flight add up to, in sample frames.
#pragma once
#include <cstdint>

namespace qavasio {

// The USB vendor id of the family; only its models have a measured offset.
inline constexpr uint16_t kFamilyVendorId = 0x2B5A;

// Converter and FIFO delay of one direction in sample frames: measured per
// model, 59 for anything unknown or for an aggregate of several devices.
uint32_t ModelOffset(uint16_t vendorId, uint16_t productId);

// Input and output latency together, in sample frames. rate 0 counts as
// 44100; bufferSize 0 (no buffers yet) leaves out the buffers in flight;
// urbSizeMs is the USB performance mode (milliseconds per transfer).
uint64_t TotalLatency(uint32_t rate, uint32_t bufferSize, uint32_t urbSizeMs, uint32_t modelOffset);

// Each direction is reported as half the total, rounded up.
uint32_t DirectionLatency(uint64_t total);

// Stream request sets in flight: enough to cover three allocator frames of
// the render pin, never fewer than two.
uint32_t RequestSetCount(uint32_t framesPerPacket, uint32_t bufferSize);

}  // namespace qavasio
