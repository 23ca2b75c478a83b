// The wire watcher's frame parser (MgmtLink/FrameParse.h) over any bytes in
// either direction: the message it points at lies inside the frame, and a
// frame is one of the link's kinds only when its headers say so. The frame
// is a heap block of its exact size, so a byte read past it shows.
#include <MgmtLink/FrameParse.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) {
    return 0;
  }
  const BOOLEAN toBoard = (data[0] & 1) != 0 ? TRUE : FALSE;
  std::vector<uint8_t> frame(data + 1, data + size);
  MGMT_FRAME_VIEW view;
  const MGMT_FRAME_KIND kind =
      MgmtParseFrame(frame.data(), static_cast<UINT32>(frame.size()), toBoard, &view);
  if (kind != view.Kind) {
    std::abort();
  }
  if (kind == MgmtFrameOther) {
    if (view.Data != nullptr || view.DataLength != 0) {
      std::abort();
    }
    return 0;
  }
  if ((kind == MgmtFrameAnswer) != (toBoard == TRUE)) {
    std::abort(); // answers travel to the board, the rest from it
  }
  const uint8_t *begin = frame.data();
  const uint8_t *end = frame.data() + frame.size();
  if (view.Data < begin || view.Data > end || view.DataLength > size_t(end - view.Data)) {
    std::abort();
  }
  volatile uint8_t sum = 0;
  for (UINT32 i = 0; i < view.DataLength; ++i) {
    sum = static_cast<uint8_t>(sum + view.Data[i]);
  }
  return 0;
}
