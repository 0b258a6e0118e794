"""A scriptable stand-in for the NVML binding, with the binding's own error classes."""

import threading
import types


class NVMLError(Exception):
    def __init__(self, value):
        super().__init__(value)
        self.value = value

    def __str__(self):
        return f"NVML error {self.value}"


class NVMLError_GpuIsLost(NVMLError):
    """Like the real binding's class: its repr names the class, not GPU_IS_LOST."""

    def __repr__(self):
        return f"NVMLError_GpuIsLost({self.value})"


class NVMLError_Timeout(NVMLError):
    def __init__(self, value=10):
        super().__init__(value)


class NVMLError_NotSupported(NVMLError):
    def __init__(self, value=3):
        super().__init__(value)


XID, DBE, SBE = 0x8, 0x2, 0x1
NO_INSTANCE = 0xFFFFFFFF


class EventSet:
    """Scripted events and errors, handed out one per wait in the order they were pushed.

    A wait with nothing queued blocks (without the interpreter lock) up to its time-out and
    then raises the binding's time-out error, as NVML does."""

    def __init__(self):
        self.registered = {}  # device index -> event mask
        self.queue = []
        self.cond = threading.Condition()
        self.waits = []  # the time-out of each wait, in ms
        self.freed = False

    def push(self, item):
        with self.cond:
            self.queue.append(item)
            self.cond.notify_all()

    def wait(self, timeout_ms):
        with self.cond:
            self.waits.append(timeout_ms)
            if not self.queue:
                self.cond.wait(timeout_ms / 1000.0)
            if not self.queue:
                raise NVMLError_Timeout(10)
            item = self.queue.pop(0)
        if isinstance(item, BaseException):
            raise item
        return item


def event(device, kind, data=0, gpu_instance=NO_INSTANCE, compute_instance=NO_INSTANCE):
    """An event record as the binding's wait returns it."""
    return types.SimpleNamespace(device=device, eventType=kind, eventData=data,
                                 gpuInstanceId=gpu_instance, computeInstanceId=compute_instance)


class Device:
    def __init__(self, index, links=0, **values):
        self.index = index
        self.links = links
        self.values = {"bus": f"00000000:{0x18 + index:02X}:00.0", "temp": 40, "util": 90,
                       "used": 40 << 30, "total": 80 << 30, "power": 300000, "limit": 700000,
                       "throttle": 0, "ecc": (0, 0), "replay": 0, "nvlink": {},
                       "events": XID | DBE | SBE}
        self.values.update(values)
        self.fail = {}  # query name -> exception to raise


def make_binding(devices, *, recovery_name="NVML_NVLINK_ERROR_DL_RECOVERY", throttle="old",
                 init_error=None, count_error=None, events=True):
    calls = []
    b = types.SimpleNamespace()
    b.NVML_ERROR_GPU_IS_LOST = 15
    b.NVML_TEMPERATURE_GPU = 0
    b.NVML_MEMORY_ERROR_TYPE_CORRECTED = 0
    b.NVML_MEMORY_ERROR_TYPE_UNCORRECTED = 1
    b.NVML_VOLATILE_ECC = 0
    b.NVML_NVLINK_ERROR_DL_REPLAY = 0
    b.NVML_NVLINK_ERROR_DL_CRC_FLIT = 2
    b.NVML_NVLINK_ERROR_DL_CRC_DATA = 3
    if recovery_name:
        setattr(b, recovery_name, 1)
    names = {0: "replay", 2: "crc_flit", 3: "crc_data", 1: "recovery"}

    def query(name, handle, key=None):
        calls.append(name)
        if name in handle.fail:
            raise handle.fail[name]
        value = handle.values[key or name]
        return value() if callable(value) else value

    def init():
        calls.append("init")
        if init_error:
            raise init_error

    def count():
        if count_error:
            raise count_error
        return len(devices)

    b.nvmlInit = init
    b.nvmlShutdown = lambda: calls.append("shutdown")
    b.nvmlDeviceGetCount = count
    b.nvmlDeviceGetHandleByIndex = lambda i: devices[i]
    b.nvmlDeviceGetPciInfo = lambda h: types.SimpleNamespace(busId=query("pci", h, "bus"))
    b.nvmlDeviceGetTemperature = lambda h, kind: query("temp", h)
    b.nvmlDeviceGetUtilizationRates = lambda h: types.SimpleNamespace(gpu=query("util", h))
    b.nvmlDeviceGetMemoryInfo = lambda h: types.SimpleNamespace(used=query("used", h),
                                                               total=h.values["total"])
    b.nvmlDeviceGetPowerUsage = lambda h: query("power", h)
    b.nvmlDeviceGetEnforcedPowerLimit = lambda h: query("limit", h)
    reasons = lambda h: query("throttle", h)  # noqa: E731
    if throttle == "old":
        b.nvmlDeviceGetCurrentClocksThrottleReasons = reasons
    else:
        b.nvmlDeviceGetCurrentClocksEventReasons = reasons
    b.nvmlDeviceGetTotalEccErrors = lambda h, kind, loc: query("ecc", h)[kind]
    b.nvmlDeviceGetPcieReplayCounter = lambda h: query("replay", h)
    b.nvmlDeviceGetNvLinkState = lambda h, link: link < h.links
    b.nvmlDeviceGetNvLinkErrorCounter = lambda h, link, code: query("nvlink", h)[(link, names[code])]
    # GPU state that older GPUs and drivers do not have: unsupported unless the device has it.
    def state(name):
        def read(h):
            if name not in h.values:
                raise NVMLError_NotSupported()
            return query(name, h)
        return read

    for api, name in [("RemappedRows", "remap"), ("RetiredPagesPendingStatus", "retired_pending"),
                      ("PersistenceMode", "persistence"), ("EccMode", "ecc_mode"),
                      ("GpuFabricInfo", "fabric"), ("CurrPcieLinkWidth", "pcie_width"),
                      ("MaxPcieLinkWidth", "pcie_width_max")]:
        setattr(b, "nvmlDeviceGet" + api, state(name))
    if events:
        add_event_api(b, query, calls)
    b.calls = calls
    return b


def add_event_api(b, query, calls):
    """The binding's event-set calls; b.event_sets lists the sets made, newest last."""
    b.NVML_ERROR_TIMEOUT = 10
    b.NVML_ERROR_NOT_SUPPORTED = 3
    b.NVMLError_Timeout = NVMLError_Timeout
    b.nvmlEventTypeSingleBitEccError = SBE
    b.nvmlEventTypeDoubleBitEccError = DBE
    b.nvmlEventTypeXidCriticalError = XID
    b.event_sets = []

    def create():
        b.event_sets.append(EventSet())
        return b.event_sets[-1]

    def register(handle, mask, event_set):
        query("register", handle, "events")
        event_set.registered[handle.index] = mask

    def free(event_set):
        calls.append("event_set_free")
        event_set.freed = True

    b.nvmlEventSetCreate = create
    b.nvmlDeviceGetSupportedEventTypes = lambda h: query("events", h)
    b.nvmlDeviceRegisterEvents = register
    b.nvmlEventSetWait_v2 = lambda event_set, timeout_ms: event_set.wait(timeout_ms)
    b.nvmlEventSetFree = free
