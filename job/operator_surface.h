#pragma once

#include <cstdint>

namespace job {

// The operations through which job code reaches the main dialog. The worker thread calls
// ShowOperatorMessage and EnableUpdateButton too; ShowOperatorMessage returns only when the
// operator has dismissed the box, and holds the calling thread until then.
class OperatorSurface {
 public:
  virtual ~OperatorSurface() = default;
  virtual void ShowOperatorMessage(const char* text) = 0;
  virtual void EnableUpdateButton(bool enabled) = 0;
  virtual void EnableBrowseButton(bool enabled) = 0;
  virtual void SetProgressRange(std::uint32_t upper) = 0;
  virtual void SetProgressPosition(std::uint32_t position) = 0;
  virtual void SetPercentText(const char* text) = 0;
};

// Operator messages, exactly as shown.
inline constexpr const char* kMsgChooseFile = " Please Choice a Update File\n";
inline constexpr const char* kMsgMorrisk = " Not Support Morrisk Update\n";
inline constexpr const char* kMsgTambrel = " Not Support Tambrel Update\n";
inline constexpr const char* kMsgNotSupported = " Not Support File\n";
inline constexpr const char* kMsgFileFailed = " File failed\n Please Retry Again";
inline constexpr const char* kMsgOpenComFailed = " Open COM Failed\n Please Retry Again";
inline constexpr const char* kMsgNoRespond = " No Respond\n Please Retry Again";
inline constexpr const char* kMsgUpdateSuccess = " Update Success\n";

}  // namespace job
