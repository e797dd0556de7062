#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "rig/Board.h"

namespace rig {

// The few HID calls a relay board needs, so that its logic runs without the HID library (and
// its tests without USB). Reports are as the HID library passes them: byte 0 the report id,
// 0 for devices without numbered reports, then the report's bytes.
class HidDevice {
 public:
  HidDevice() = default;
  HidDevice(const HidDevice&) = delete;
  HidDevice& operator=(const HidDevice&) = delete;
  virtual ~HidDevice() = default;

  // Each throws SerialError (DeviceGone, WriteFailed, ...) when the device does not take it.
  virtual void sendFeatureReport(const std::vector<std::uint8_t>& report) = 0;
  // `length` bytes including the report id; fewer when the device sends less.
  virtual std::vector<std::uint8_t> getFeatureReport(std::uint8_t reportId, std::size_t length) = 0;
};

// A HID device present now: where it is, and the product string it gives.
struct HidDeviceInfo {
  std::string path;
  std::string product;
};

class HidBus {
 public:
  HidBus() = default;
  HidBus(const HidBus&) = delete;
  HidBus& operator=(const HidBus&) = delete;
  virtual ~HidBus() = default;

  // The devices with this USB vendor and product id.
  virtual std::vector<HidDeviceInfo> enumerate(std::uint16_t vendorId, std::uint16_t productId) = 0;
  // Throws SerialError (NoDevice, Permission, ...) when the device cannot be opened.
  virtual std::unique_ptr<HidDevice> open(const std::string& path) = 0;
};

// The USB HID relay boards (16c0:05df, product string "USBRelay1" to "USBRelay8"), named by the
// five-character ID each keeps, "hid:QM7YK".
//
// The board takes 8-byte feature reports without a report id: FF n switches relay n (from 1)
// on, FD n off, FE all on, FC all off, FA and five bytes set the ID. Reading the feature report
// gives the ID in bytes 0 to 4 and the relays' states as a bit mask in byte 7.
namespace hid_relay {
inline constexpr std::uint16_t kVendorId = 0x16c0;
inline constexpr std::uint16_t kProductId = 0x05df;
inline constexpr std::size_t kReportLength = 8;
inline constexpr std::uint8_t kOn = 0xFF;
inline constexpr std::uint8_t kOff = 0xFD;
inline constexpr std::uint8_t kAllOn = 0xFE;
inline constexpr std::uint8_t kAllOff = 0xFC;
inline constexpr std::uint8_t kSetId = 0xFA;

// The relay count a product string gives, "USBRelay2" 2; 0 when it is not a relay board's.
int relayCount(std::string_view product);
// The report that sends `command` and its arguments, report id first, padded to the length.
std::vector<std::uint8_t> report(std::uint8_t command, std::string_view arguments = {});
// The ID in a read report (report id first), with trailing NULs and blanks dropped.
std::string idOf(const std::vector<std::uint8_t>& report);
}  // namespace hid_relay

// The boards present now, each with its ID, relay count and path. Two boards with the same ID
// are both listed (with the same name): set one's ID before using either.
std::vector<FoundBoard> findHidRelayBoards(HidBus& bus);

class HidRelayBoard : public Board {
 public:
  HidRelayBoard(HidBus& bus, std::string id);

  BoardName name() const override { return {"hid", id_}; }
  int relayCount() const override { return relays_; }
  BoardAbilities abilities() const override { return {true, true, true}; }

  // Finds the board with this ID among those present: NoDevice when none has it, Ambiguous when
  // two do (which one would switch is a guess). When a board present could not be read, its failure
  // (Permission, Busy) is told instead of NoDevice: it may be the one.
  void open() override;
  void close() override;
  bool isOpen() const override { return device_ != nullptr; }
  // The open board's path is no longer among the relay boards present.
  bool gone() override;

  void switchRelay(int relay, bool on) override;
  // One all-on or all-off command when the relays end all on or all off (so they switch
  // together); otherwise one command per relay in `which`, from the lowest.
  void switchRelays(RelayMask which, RelayMask on) override;
  RelayMask readRelays() override;

  // Gives the open board a new ID and checks that it took it (boards whose ID is fixed keep
  // theirs: NotUnderstood). The board's name follows.
  void setId(const std::string& id);

 private:
  std::vector<std::uint8_t> readReport();
  void send(const std::vector<std::uint8_t>& report);
  HidDevice& device();

  HidBus& bus_;
  std::string id_;
  std::string path_;
  int relays_ = 0;
  std::unique_ptr<HidDevice> device_;
};

}  // namespace rig
