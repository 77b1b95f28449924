#include "support/usb/ftx_testbed.h"

#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <sys/stat.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

namespace vexo3::usbtest {

namespace {

using sim::FtxChip;
using sim::UsbOutcome;

constexpr uint8_t kBus = 1;
constexpr size_t kSetupSize = 8;

// Device descriptor and the one configuration, as the chip reports them.
std::vector<uint8_t> Descriptors(const FtxChip& chip) {
  const sim::FtxIdentity& id = chip.Identity();
  auto lo = [](uint16_t v) { return static_cast<uint8_t>(v & 0xFF); };
  auto hi = [](uint16_t v) { return static_cast<uint8_t>(v >> 8); };
  return {18, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x08,  // USB 2.0, EP0 8 bytes
          lo(id.vendor), hi(id.vendor), lo(id.product), hi(id.product), lo(id.bcdDevice),
          hi(id.bcdDevice), FtxChip::kManufacturerIndex, FtxChip::kProductIndex,
          chip.SerialNumberIndex(), 1,
          // Configuration 1, bus powered, 90 mA.
          9, 0x02, 32, 0, 1, 1, 0, 0x80, 45,
          // Interface 0, vendor class, two endpoints.
          9, 0x04, 0, 0, 2, 0xFF, 0xFF, 0xFF, FtxChip::kProductIndex,
          // Bulk IN 0x81 and bulk OUT 0x02, 64-byte packets.
          7, 0x05, FtxChip::kEndpointIn, 0x02, 64, 0, 0,  //
          7, 0x05, FtxChip::kEndpointOut, 0x02, 64, 0, 0};
}

// The program is this process: a URB, its buffer and the pointer a reap
// fills are read and written in place, as the kernel copies to and from
// user memory. (umockdev's copies of them would cost a round trip over its
// socket each, on the line's critical path.)
struct Urb {
  unsigned long address = 0;  // the program's usbdevfs_urb
  // The program's fields at submission.
  struct {
    unsigned char type = 0;
    unsigned char endpoint = 0;
    void* buffer = nullptr;
    int buffer_length = 0;
  } urb;
  size_t done = 0;
  bool ended = false;
  int status = 0;
  // A control URB held back by SlowControls: it ends then.
  std::optional<std::chrono::steady_clock::time_point> endsAt;
};

}  // namespace

struct FtxTestbed::Impl {
  struct Slot {
    Impl* owner = nullptr;
    FtxChip* chip = nullptr;
    uint8_t port = 0;
    uint8_t devnum = 0;
    std::string sysPath;  // under /sys
    std::string node;     // /dev/bus/usb/BBB/DDD
    UMockdevIoctlBase* handler = nullptr;
    KernelDriverState driver;
    UrbCounts urbs;
    std::deque<Urb> urbsInFlight;  // in submission order, ended ones too
    bool gone = false;
    bool goneDuringBulk = false;
    uint8_t stalled = 0;  // endpoints stalled: bit 0 IN, bit 1 OUT
    uint32_t controlDelayMs = 0;
  };

  UMockdevTestbed* testbed = nullptr;
  std::vector<std::unique_ptr<Slot>> slots;
  mutable std::mutex mutex;  // the slots' state: umockdev's thread and the test's

  Slot& Of(const FtxChip& chip) const {
    for (const auto& s : slots) {
      if (s->chip == &chip)
        return *s;
    }
    std::abort();  // a chip that was never added: a broken test
  }

  static gboolean OnIoctl(UMockdevIoctlBase* /*base*/, UMockdevIoctlClient* client, gpointer user) {
    auto* slot = static_cast<Slot*>(user);
    std::lock_guard lock(slot->owner->mutex);
    return slot->owner->Handle(*slot, client);
  }

  static void Complete(UMockdevIoctlClient* client, int err) {
    umockdev_ioctl_client_complete(client, err == 0 ? 0 : -1, err);
  }

  // Copies an ioctl argument of `size` bytes out of the program.
  static UMockdevIoctlData* Arg(UMockdevIoctlClient* client, size_t size, void* out) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, size, nullptr);
    if (d != nullptr && out != nullptr)
      std::memcpy(out, d->data, size);
    return d;
  }

  bool Handle(Slot& s, UMockdevIoctlClient* client) {
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    if (s.gone && request != USBDEVFS_REAPURBNDELAY && request != USBDEVFS_REAPURB &&
        request != USBDEVFS_DISCARDURB) {
      Complete(client, ENODEV);
      return true;
    }
    switch (request) {
      case USBDEVFS_GET_CAPABILITIES: {
        const uint32_t caps = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                              USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
        UMockdevIoctlData* d = Arg(client, sizeof caps, nullptr);
        std::memcpy(d->data, &caps, sizeof caps);
        g_object_unref(d);
        Complete(client, 0);
        return true;
      }
      case USBDEVFS_GETDRIVER: {
        usbdevfs_getdriver gd{};
        UMockdevIoctlData* d = Arg(client, sizeof gd, &gd);
        int err = 0;
        if (gd.interface != 0)
          err = EINVAL;
        else if (s.driver.claimed)
          std::snprintf(gd.driver, sizeof gd.driver, "usbfs");
        else if (s.driver.bound)
          std::snprintf(gd.driver, sizeof gd.driver, "ftdi_sio");
        else
          err = ENODATA;
        std::memcpy(d->data, &gd, sizeof gd);
        g_object_unref(d);
        Complete(client, err);
        return true;
      }
      case USBDEVFS_IOCTL: {
        usbdevfs_ioctl io{};
        g_object_unref(Arg(client, sizeof io, &io));
        int err = 0;
        if (io.ifno != 0) {
          err = EINVAL;
        } else if (io.ioctl_code == static_cast<int>(USBDEVFS_DISCONNECT)) {
          if (s.driver.bound && !s.driver.claimed) {
            s.driver.bound = false;
            ++s.driver.detaches;
          } else {
            err = ENODATA;
          }
        } else if (io.ioctl_code == static_cast<int>(USBDEVFS_CONNECT)) {
          // The kernel probes drivers only for an interface nobody holds.
          if (!s.driver.bound && !s.driver.claimed) {
            s.driver.bound = true;
            ++s.driver.reattaches;
          }
        } else {
          err = ENOTTY;
        }
        Complete(client, err);
        return true;
      }
      case USBDEVFS_DISCONNECT_CLAIM: {
        usbdevfs_disconnect_claim dc{};
        g_object_unref(Arg(client, sizeof dc, &dc));
        int err = 0;
        if (dc.interface != 0) {
          err = EINVAL;
        } else if (s.driver.bound) {
          const bool except = (dc.flags & USBDEVFS_DISCONNECT_CLAIM_EXCEPT_DRIVER) != 0;
          const bool ifDriver = (dc.flags & USBDEVFS_DISCONNECT_CLAIM_IF_DRIVER) != 0;
          const bool named = std::strcmp(dc.driver, "ftdi_sio") == 0;
          if ((except && named) || (ifDriver && !named)) {
            err = EBUSY;
          } else {
            s.driver.bound = false;
            ++s.driver.detaches;
            s.driver.claimed = true;
          }
        } else {
          s.driver.claimed = true;
        }
        Complete(client, err);
        return true;
      }
      case USBDEVFS_CLAIMINTERFACE:
      case USBDEVFS_RELEASEINTERFACE: {
        unsigned int ifno = 0;
        g_object_unref(Arg(client, sizeof ifno, &ifno));
        int err = 0;
        if (ifno != 0)
          err = ENOENT;
        else if (request == USBDEVFS_CLAIMINTERFACE)
          err = s.driver.bound ? EBUSY : (s.driver.claimed = true, 0);
        else
          err = s.driver.claimed ? (s.driver.claimed = false, 0) : EINVAL;
        Complete(client, err);
        return true;
      }
      case USBDEVFS_CLEAR_HALT: {
        unsigned int ep = 0;
        g_object_unref(Arg(client, sizeof ep, &ep));
        s.stalled &= static_cast<uint8_t>(ep == FtxChip::kEndpointIn ? ~1u : ~2u);
        Complete(client, 0);
        return true;
      }
      case USBDEVFS_RESET:
      case USBDEVFS_SETCONFIGURATION:
        Complete(client, 0);
        return true;
      case USBDEVFS_GET_SPEED:
        umockdev_ioctl_client_complete(client, 2 /* USB_SPEED_FULL */, 0);
        return true;
      case USBDEVFS_SUBMITURB:
        Submit(s, client);
        return true;
      case USBDEVFS_REAPURBNDELAY:
      case USBDEVFS_REAPURB:
        Reap(s, client);
        return true;
      case USBDEVFS_DISCARDURB:
        Discard(s, client);
        return true;
      default:
        return false;  // ENOTTY, as for an ioctl the kernel doesn't know
    }
  }

  void Submit(Slot& s, UMockdevIoctlClient* client) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    Urb u;
    std::memcpy(&u.address, arg->data, sizeof u.address);
    const auto* urb = reinterpret_cast<const uint8_t*>(u.address);
    std::memcpy(&u.urb.type, urb + offsetof(usbdevfs_urb, type), sizeof u.urb.type);
    std::memcpy(&u.urb.endpoint, urb + offsetof(usbdevfs_urb, endpoint), sizeof u.urb.endpoint);
    std::memcpy(&u.urb.buffer, urb + offsetof(usbdevfs_urb, buffer), sizeof u.urb.buffer);
    std::memcpy(&u.urb.buffer_length, urb + offsetof(usbdevfs_urb, buffer_length),
                sizeof u.urb.buffer_length);
    if (u.urb.buffer_length < 0 || (u.urb.buffer == nullptr && u.urb.buffer_length > 0)) {
      Complete(client, EINVAL);
      return;
    }
    if (u.urb.type == USBDEVFS_URB_TYPE_CONTROL) {
      ++s.urbs.control;
      RunControl(s, u);
      if (s.controlDelayMs > 0) {
        u.ended = false;
        u.endsAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(s.controlDelayMs);
      }
    } else if (u.urb.type == USBDEVFS_URB_TYPE_BULK && (u.urb.endpoint == FtxChip::kEndpointIn ||
                                                        u.urb.endpoint == FtxChip::kEndpointOut)) {
      const bool in = u.urb.endpoint == FtxChip::kEndpointIn;
      ++(in ? s.urbs.bulkIn : s.urbs.bulkOut);
      s.chip->Sync();  // the transfer starts now, not at the chip's last event
      if ((s.stalled & (in ? 1 : 2)) != 0) {
        u.ended = true;
        u.status = -EPIPE;
      }
    } else {
      Complete(client, EINVAL);
      return;
    }
    s.urbsInFlight.push_back(u);
    Complete(client, 0);
  }

  // Control URBs end at once: the buffer is the setup packet and its data.
  void RunControl(Slot& s, Urb& u) {
    auto* buffer = static_cast<uint8_t*>(u.urb.buffer);
    u.ended = true;
    if (static_cast<size_t>(u.urb.buffer_length) < kSetupSize) {
      u.status = -EINVAL;
      return;
    }
    const uint8_t type = buffer[0];
    const uint8_t req = buffer[1];
    const auto value = static_cast<uint16_t>(buffer[2] | buffer[3] << 8);
    const auto index = static_cast<uint16_t>(buffer[4] | buffer[5] << 8);
    const size_t length = std::min<size_t>(static_cast<size_t>(buffer[6] | buffer[7] << 8),
                                           static_cast<size_t>(u.urb.buffer_length) - kSetupSize);
    const std::span<uint8_t> data(buffer + kSetupSize, length);
    if ((type & 0x60) == 0) {  // standard: only GET_DESCRIPTOR is asked for
      std::vector<uint8_t> desc;
      if (type == 0x80 && req == 0x06 && value >> 8 == 0x01) {
        desc = Descriptors(*s.chip);
        desc.resize(18);
      } else if (type == 0x80 && req == 0x06 && value >> 8 == 0x03) {
        if ((value & 0xFF) == 0) {
          desc = {4, 0x03, 0x09, 0x04};  // English (US)
        } else if (auto text = s.chip->ReadString(static_cast<uint8_t>(value & 0xFF))) {
          desc = {static_cast<uint8_t>(2 + 2 * text->size()), 0x03};
          for (const char c : *text) {
            desc.push_back(static_cast<uint8_t>(c));
            desc.push_back(0);
          }
        }
      }
      if (desc.empty()) {
        u.status = -EPIPE;
        return;
      }
      const size_t n = std::min(desc.size(), data.size());
      std::copy_n(desc.begin(), n, data.begin());
      u.done = n;
      return;
    }
    size_t moved = 0;
    const UsbOutcome outcome = s.chip->Control(type, req, value, index, data, 0, &moved);
    if (outcome == UsbOutcome::Done) {
      u.done = (type & 0x80) != 0 ? moved : length;
    } else if (outcome == UsbOutcome::NoDevice) {
      u.status = -EPROTO;  // no handshake from a device that isn't there
    } else {
      u.status = -EPIPE;
    }
  }

  // Moves one bulk URB on by the chip's time since the last call; ends a
  // held-back control URB when its time has come.
  void Serve(Slot& s, Urb& u) {
    if (!u.ended && u.endsAt) {
      u.ended = std::chrono::steady_clock::now() >= *u.endsAt;
      return;
    }
    if (u.ended || u.urb.type != USBDEVFS_URB_TYPE_BULK)
      return;
    if (s.goneDuringBulk) {
      s.goneDuringBulk = false;
      s.gone = true;
    }
    if (s.gone) {
      u.ended = true;
      u.status = -ESHUTDOWN;
      return;
    }
    auto* buffer = static_cast<uint8_t*>(u.urb.buffer);
    const size_t length = static_cast<size_t>(u.urb.buffer_length);
    size_t moved = 0;
    const UsbOutcome outcome =
        u.urb.endpoint == FtxChip::kEndpointIn
            ? s.chip->PollBulkIn(std::span<uint8_t>(buffer + u.done, length - u.done), &moved)
            : s.chip->PollBulkOut(std::span<const uint8_t>(buffer + u.done, length - u.done),
                                  &moved);
    u.done += moved;
    switch (outcome) {
      case UsbOutcome::Timeout:
        return;  // still in flight
      case UsbOutcome::Done:
        u.status = 0;
        break;
      case UsbOutcome::Stall:
        u.status = -EPIPE;
        break;
      case UsbOutcome::Overflow:
        u.status = -EOVERFLOW;
        break;
      case UsbOutcome::NoDevice:
        s.gone = true;
        u.status = -ESHUTDOWN;
        break;
    }
    u.ended = true;
  }

  // Hands an ended URB back: its status and length into the program's URB.
  static void GiveBack(UMockdevIoctlClient* client, Urb& u) {
    const int actual = static_cast<int>(u.done);
    auto* urb = reinterpret_cast<uint8_t*>(u.address);
    std::memcpy(urb + offsetof(usbdevfs_urb, status), &u.status, sizeof u.status);
    std::memcpy(urb + offsetof(usbdevfs_urb, actual_length), &actual, sizeof actual);
    void* where = nullptr;  // the program's void*, for the URB's address
    std::memcpy(&where, umockdev_ioctl_client_get_arg(client)->data, sizeof where);
    std::memcpy(where, &u.address, sizeof u.address);
    Complete(client, 0);
  }

  void Reap(Slot& s, UMockdevIoctlClient* client) {
    ++s.urbs.reaps;
    for (Urb& u : s.urbsInFlight)
      Serve(s, u);
    const auto ended = std::find_if(s.urbsInFlight.begin(), s.urbsInFlight.end(),
                                    [](const Urb& u) { return u.ended; });
    if (ended == s.urbsInFlight.end()) {
      Complete(client, s.gone ? ENODEV : EAGAIN);
      return;
    }
    Urb u = *ended;
    s.urbsInFlight.erase(ended);
    GiveBack(client, u);
  }

  void Discard(Slot& s, UMockdevIoctlClient* client) {
    void* address = nullptr;
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    std::memcpy(&address, arg->data, sizeof address);
    for (Urb& u : s.urbsInFlight) {
      if (u.address != reinterpret_cast<unsigned long>(address))
        continue;
      Serve(s, u);  // what moved up to the cancel stays in the buffer
      if (u.ended) {
        Complete(client, EINVAL);  // already done: the reap gives it back
        return;
      }
      ++s.urbs.discarded;
      u.ended = true;
      u.status = -ENOENT;
      Complete(client, 0);
      return;
    }
    Complete(client, EINVAL);
  }
};

FtxTestbed::FtxTestbed() : impl_(std::make_unique<Impl>()) {
  impl_->testbed = umockdev_testbed_new();
}

FtxTestbed::~FtxTestbed() {
  for (const auto& s : impl_->slots) {
    if (!s->gone)
      umockdev_testbed_remove_device(impl_->testbed, s->sysPath.c_str());
    umockdev_testbed_detach_ioctl(impl_->testbed, s->node.c_str(), nullptr);
    g_object_unref(s->handler);
  }
  g_object_unref(impl_->testbed);
}

bool FtxTestbed::InMockEnvironment() {
  const char* preload = std::getenv("LD_PRELOAD");
  return preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr;
}

void FtxTestbed::Add(FtxChip& chip) {
  auto slot = std::make_unique<Impl::Slot>();
  Impl::Slot& s = *slot;
  s.owner = impl_.get();
  s.chip = &chip;
  s.port = static_cast<uint8_t>(impl_->slots.size() + 1);
  s.devnum = static_cast<uint8_t>(impl_->slots.size() + 2);
  char node[32];
  std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", kBus, s.devnum);
  s.node = node;
  const std::string name = std::to_string(kBus) + "-" + std::to_string(s.port);
  s.sysPath = "/sys/devices/pci0000:00/0000:00:14.0/usb1/" + name;

  s.handler = umockdev_ioctl_base_new();
  g_signal_connect(s.handler, "handle-ioctl", G_CALLBACK(Impl::OnIoctl), &s);
  // The node's handler first, so that libusb can open the node as soon as
  // the device is announced.
  umockdev_testbed_attach_ioctl(impl_->testbed, s.node.c_str(), s.handler, nullptr);

  std::string hex;
  for (const uint8_t b : Descriptors(chip)) {
    char two[3];
    std::snprintf(two, sizeof two, "%02x", b);
    hex += two;
  }
  const sim::FtxIdentity& id = chip.Identity();
  char text[2048];
  std::snprintf(text, sizeof text,
                "P: /devices/pci0000:00/0000:00:14.0/usb1/%s\n"
                "N: bus/usb/%03u/%03u\n"
                "E: SUBSYSTEM=usb\n"
                "E: DEVTYPE=usb_device\n"
                "E: DRIVER=usb\n"
                "E: BUSNUM=%03u\n"
                "E: DEVNUM=%03u\n"
                "E: DEVNAME=%s\n"
                "A: busnum=%u\\n\n"
                "A: devnum=%u\\n\n"
                "A: speed=12\\n\n"
                "A: bConfigurationValue=1\\n\n"
                "A: bNumConfigurations=1\\n\n"
                "A: idVendor=%04x\\n\n"
                "A: idProduct=%04x\\n\n"
                "A: bcdDevice=%04x\\n\n"
                "A: manufacturer=%s\\n\n"
                "A: product=%s\\n\n"
                "%s%s%s"
                "H: descriptors=%s\n",
                name.c_str(), kBus, s.devnum, kBus, s.devnum, node, kBus, s.devnum, id.vendor,
                id.product, id.bcdDevice, id.manufacturer.c_str(), id.description.c_str(),
                id.serial.empty() ? "" : "A: serial=", id.serial.c_str(),
                id.serial.empty() ? "" : "\\n\n", hex.c_str());
  {
    std::lock_guard lock(impl_->mutex);
    impl_->slots.push_back(std::move(slot));
  }
  umockdev_testbed_add_from_string(impl_->testbed, text, nullptr);
}

void FtxTestbed::Remove(FtxChip& chip) {
  Impl::Slot& s = impl_->Of(chip);
  {
    std::lock_guard lock(impl_->mutex);
    if (s.gone)
      return;
    s.gone = true;
  }
  // The kernel's "remove" uevent first, while the entry is still there to
  // be read: it is how libusb's hot-plug monitor learns the chip went.
  umockdev_testbed_uevent(impl_->testbed, s.sysPath.c_str(), "remove");
  umockdev_testbed_remove_device(impl_->testbed, s.sysPath.c_str());
}

KernelDriverState FtxTestbed::Driver(const FtxChip& chip) const {
  std::lock_guard lock(impl_->mutex);
  return impl_->Of(chip).driver;
}

UrbCounts FtxTestbed::Urbs(const FtxChip& chip) const {
  std::lock_guard lock(impl_->mutex);
  return impl_->Of(chip).urbs;
}

void FtxTestbed::ClearUrbs(const FtxChip& chip) {
  std::lock_guard lock(impl_->mutex);
  impl_->Of(chip).urbs = {};
}

std::string FtxTestbed::DevNode(const FtxChip& chip) const {
  return impl_->Of(chip).node;
}

void FtxTestbed::StallEndpoint(const FtxChip& chip, uint8_t endpoint) {
  std::lock_guard lock(impl_->mutex);
  impl_->Of(chip).stalled |= endpoint == FtxChip::kEndpointIn ? 1 : 2;
}

void FtxTestbed::GoneDuringNextBulk(const FtxChip& chip) {
  std::lock_guard lock(impl_->mutex);
  impl_->Of(chip).goneDuringBulk = true;
}

void FtxTestbed::SlowControls(const FtxChip& chip, uint32_t ms) {
  std::lock_guard lock(impl_->mutex);
  impl_->Of(chip).controlDelayMs = ms;
}

void FtxTestbed::BindDriver(const FtxChip& chip) {
  std::lock_guard lock(impl_->mutex);
  impl_->Of(chip).driver.bound = true;
}

void FtxTestbed::SetNodeMode(const FtxChip& chip, unsigned mode) {
  gchar* root = umockdev_testbed_get_root_dir(impl_->testbed);
  const std::string path = std::string(root) + impl_->Of(chip).node;
  g_free(root);
  ::chmod(path.c_str(), static_cast<mode_t>(mode));
}

}  // namespace vexo3::usbtest
