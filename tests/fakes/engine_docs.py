"""Documents of the Docker Engine API (v1.43) as the Engine writes them: container
inspection, statistics objects and error bodies, written from the public API
reference for the fake Engine."""

import hashlib
import json


def go_json(obj):
    """Compact JSON as Go's encoder writes it: UTF-8 kept, <, > and & escaped,
    a newline at the end."""
    text = json.dumps(obj, separators=(",", ":"), ensure_ascii=False)
    for ch, esc in (("<", "\\u003c"), (">", "\\u003e"), ("&", "\\u0026"),
                    ("\u2028", "\\u2028"), ("\u2029", "\\u2029")):
        text = text.replace(ch, esc)
    return text + "\n"


def container_id(name):
    return hashlib.sha256(name.encode()).hexdigest()


def error_body(message):
    return go_json({"message": message})


ZERO_TIME = "0001-01-01T00:00:00Z"


def inspect(name, state="running", ip="172.17.0.2", network="bridge"):
    """The inspection answer of one container. `state` is one of running, paused,
    restarting, exited, dead, created, oomkilled; `network` is "bridge" (the default
    network, whose address is also in NetworkSettings.IPAddress) or the name of a
    user-defined network (IPAddress then empty at the top). A container that does
    not run has no address anywhere."""
    cid = container_id(name)
    running = state in ("running", "paused", "restarting")
    status = {"oomkilled": "exited"}.get(state, state)
    addr = ip if running else ""
    gateway = (ip.rsplit(".", 1)[0] + ".1") if addr else ""
    mac = "02:42:ac:11:00:02" if addr else ""
    endpoint = hashlib.sha256((name + "ep").encode()).hexdigest() if addr else ""
    netid = hashlib.sha256(network.encode()).hexdigest()
    env = ["PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"]
    env += ["APP_SETTING_%d=value-%d&more<%d>" % (i, i, i) for i in range(8)]
    labels = {"com.example.service": name, "com.example.team": "ops"}
    labels.update({"org.opencontainers.image.ref.%d" % i: "ubuntu-jammy-%d" % i for i in range(4)})
    network_entry = {
        "IPAMConfig": None if network == "bridge" else {},
        "Links": None,
        "Aliases": None if network == "bridge" else [name, cid[:12]],
        "NetworkID": netid,
        "EndpointID": endpoint,
        "Gateway": gateway,
        "IPAddress": addr,
        "IPPrefixLen": 16 if addr else 0,
        "IPv6Gateway": "",
        "GlobalIPv6Address": "",
        "GlobalIPv6PrefixLen": 0,
        "MacAddress": mac,
        "DriverOpts": None,
    }
    return {
        "Id": cid,
        "Created": "2024-05-02T08:15:03.512731458Z",
        "Path": "docker-entrypoint.sh",
        "Args": ["memcached", "-m", "64"],
        "State": {
            "Status": status,
            "Running": running,
            "Paused": state == "paused",
            "Restarting": state == "restarting",
            "OOMKilled": state == "oomkilled",
            "Dead": state == "dead",
            "Pid": 41873 if running else 0,
            "ExitCode": 0,
            "Error": "",
            "StartedAt": "2024-05-02T08:15:04.196832614Z",
            "FinishedAt": ZERO_TIME if running else "2024-05-02T09:01:44.102918337Z",
        },
        "Image": "sha256:" + hashlib.sha256(b"memcached:1.6").hexdigest(),
        "ResolvConfPath": "/var/lib/docker/containers/%s/resolv.conf" % cid,
        "HostnamePath": "/var/lib/docker/containers/%s/hostname" % cid,
        "HostsPath": "/var/lib/docker/containers/%s/hosts" % cid,
        "LogPath": "/var/lib/docker/containers/%s/%s-json.log" % (cid, cid),
        "Name": "/" + name,
        "RestartCount": 3 if state == "restarting" else 0,
        "Driver": "overlay2",
        "Platform": "linux",
        "MountLabel": "",
        "ProcessLabel": "",
        "AppArmorProfile": "docker-default",
        "ExecIDs": None,
        "HostConfig": {
            "Binds": ["/srv/%s/data:/data" % name],
            "ContainerIDFile": "",
            "LogConfig": {"Type": "json-file", "Config": {"max-size": "10m"}},
            "NetworkMode": "default" if network == "bridge" else network,
            "PortBindings": {"11211/tcp": [{"HostIp": "", "HostPort": "11211"}]},
            "RestartPolicy": {"Name": "unless-stopped", "MaximumRetryCount": 0},
            "AutoRemove": False,
            "VolumeDriver": "",
            "VolumesFrom": None,
            "ConsoleSize": [0, 0],
            "CapAdd": None,
            "CapDrop": None,
            "CgroupnsMode": "private",
            "Dns": [],
            "DnsOptions": [],
            "DnsSearch": [],
            "ExtraHosts": None,
            "GroupAdd": None,
            "IpcMode": "private",
            "Cgroup": "",
            "Links": None,
            "OomScoreAdj": 0,
            "PidMode": "",
            "Privileged": False,
            "PublishAllPorts": False,
            "ReadonlyRootfs": False,
            "SecurityOpt": None,
            "UTSMode": "",
            "UsernsMode": "",
            "ShmSize": 67108864,
            "Runtime": "runc",
            "Isolation": "",
            "CpuShares": 0,
            "Memory": 0,
            "NanoCpus": 1500000000,
            "CgroupParent": "",
            "BlkioWeight": 0,
            "BlkioWeightDevice": [],
            "BlkioDeviceReadBps": [],
            "BlkioDeviceWriteBps": [],
            "BlkioDeviceReadIOps": [],
            "BlkioDeviceWriteIOps": [],
            "CpuPeriod": 0,
            "CpuQuota": 0,
            "CpuRealtimePeriod": 0,
            "CpuRealtimeRuntime": 0,
            "CpusetCpus": "",
            "CpusetMems": "",
            "Devices": [],
            "DeviceCgroupRules": None,
            "DeviceRequests": None,
            "MemoryReservation": 0,
            "MemorySwap": 0,
            "MemorySwappiness": None,
            "OomKillDisable": None,
            "PidsLimit": None,
            "Ulimits": None,
            "CpuCount": 0,
            "CpuPercent": 0,
            "IOMaximumIOps": 0,
            "IOMaximumBandwidth": 0,
            "MaskedPaths": ["/proc/asound", "/proc/acpi", "/proc/kcore", "/proc/keys", "/proc/latency_stats",
                            "/proc/timer_list", "/proc/timer_stats", "/proc/sched_debug", "/proc/scsi",
                            "/sys/firmware", "/sys/devices/virtual/powercap"],
            "ReadonlyPaths": ["/proc/bus", "/proc/fs", "/proc/irq", "/proc/sys", "/proc/sysrq-trigger"],
        },
        "GraphDriver": {
            "Data": {
                "LowerDir": ":".join("/var/lib/docker/overlay2/%s/diff" % hashlib.sha256(
                    b"%d" % i).hexdigest() for i in range(6)),
                "MergedDir": "/var/lib/docker/overlay2/%s/merged" % cid,
                "UpperDir": "/var/lib/docker/overlay2/%s/diff" % cid,
                "WorkDir": "/var/lib/docker/overlay2/%s/work" % cid,
            },
            "Name": "overlay2",
        },
        "Mounts": [{
            "Type": "bind",
            "Source": "/srv/%s/data0" % name,
            "Destination": "/data0",
            "Mode": "",
            "RW": True,
            "Propagation": "rprivate",
        }],
        "Config": {
            "Hostname": cid[:12],
            "Domainname": "",
            "User": "memcache",
            "AttachStdin": False,
            "AttachStdout": False,
            "AttachStderr": False,
            "ExposedPorts": {"11211/tcp": {}},
            "Tty": False,
            "OpenStdin": False,
            "StdinOnce": False,
            "Env": env,
            "Cmd": ["memcached", "-m", "64"],
            "Image": "memcached:1.6",
            "Volumes": None,
            "WorkingDir": "",
            "Entrypoint": ["docker-entrypoint.sh"],
            "OnBuild": None,
            "Labels": labels,
        },
        "NetworkSettings": {
            "Bridge": "",
            "SandboxID": hashlib.sha256((name + "sb").encode()).hexdigest() if running else "",
            "HairpinMode": False,
            "LinkLocalIPv6Address": "",
            "LinkLocalIPv6PrefixLen": 0,
            "Ports": {"11211/tcp": [{"HostIp": "0.0.0.0", "HostPort": "11211"},
                                    {"HostIp": "::", "HostPort": "11211"}]} if running else {},
            "SandboxKey": "/var/run/docker/netns/%s" % cid[:12] if running else "",
            "SecondaryIPAddresses": None,
            "SecondaryIPv6Addresses": None,
            "EndpointID": endpoint if network == "bridge" else "",
            "Gateway": gateway if network == "bridge" else "",
            "GlobalIPv6Address": "",
            "GlobalIPv6PrefixLen": 0,
            "IPAddress": addr if network == "bridge" else "",
            "IPPrefixLen": 16 if addr and network == "bridge" else 0,
            "IPv6Gateway": "",
            "MacAddress": mac if network == "bridge" else "",
            "Networks": {network: network_entry},
        },
    }


def cpu_stats(total, system, ncpu, percpu=None):
    """One cpu_stats (or precpu_stats) member. Without `system` it is the empty
    sample of a stream's first object: no system_cpu_usage and no online_cpus."""
    usage = {"total_usage": total}
    if percpu is not None:
        usage["percpu_usage"] = percpu
    usage.update(usage_in_kernelmode=total // 4, usage_in_usermode=total - total // 4)
    out = {"cpu_usage": usage}
    if system is not None:
        out["system_cpu_usage"] = system
        out["online_cpus"] = ncpu
    out["throttling_data"] = {"periods": 0, "throttled_periods": 0, "throttled_time": 0}
    return out


def stats(name, cpu, precpu, memory=True):
    """One object of the statistics stream; without `memory`, the one a container that
    does not run gets."""
    blk = [{"major": 8, "minor": 0, "op": op, "value": 4096} for op in ("read", "write")]
    return {
        "read": "2024-05-02T08:16:00.018453812Z" if memory else ZERO_TIME,
        "preread": ZERO_TIME,
        "pids_stats": {"current": 10, "limit": 18446744073709551615} if memory else {},
        "blkio_stats": {
            "io_service_bytes_recursive": blk if memory else None,
            "io_serviced_recursive": None,
            "io_queue_recursive": None,
            "io_service_time_recursive": None,
            "io_wait_time_recursive": None,
            "io_merged_recursive": None,
            "io_time_recursive": None,
            "sectors_recursive": None,
        },
        "num_procs": 0,
        "storage_stats": {},
        "cpu_stats": cpu,
        "precpu_stats": precpu,
        "memory_stats": {
            "usage": 3047424,
            "stats": {"active_anon": 1466368, "active_file": 0, "anon": 1581056, "anon_thp": 0, "file": 0,
                      "file_dirty": 0, "file_mapped": 0, "file_writeback": 0, "inactive_anon": 114688,
                      "inactive_file": 0, "kernel_stack": 65536, "pgactivate": 0, "pgdeactivate": 0,
                      "pgfault": 1290, "pglazyfree": 0, "pglazyfreed": 0, "pgmajfault": 0, "pgrefill": 0,
                      "pgscan": 0, "pgsteal": 0, "shmem": 0, "slab": 1119432, "slab_reclaimable": 400784,
                      "slab_unreclaimable": 718648, "sock": 0, "thp_collapse_alloc": 0, "thp_fault_alloc": 0,
                      "unevictable": 0, "workingset_activate": 0, "workingset_nodereclaim": 0,
                      "workingset_refault": 0},
            "limit": 16578965504,
        } if memory else {},
        "name": "/" + name,
        "id": container_id(name),
        "networks": {"eth0": {"rx_bytes": 5338, "rx_packets": 43, "rx_errors": 0, "rx_dropped": 0,
                              "tx_bytes": 1716, "tx_packets": 18, "tx_errors": 0, "tx_dropped": 0}}
        if memory else None,
    }


def zero_stats(name, precpu=None):
    """The object that a stopped container's stream keeps sending."""
    zero = cpu_stats(0, None, 0)
    obj = stats(name, zero, precpu if precpu is not None else zero, memory=False)
    del obj["networks"]
    return obj
