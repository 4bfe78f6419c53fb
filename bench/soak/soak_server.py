"""The soak's private server, restarted behind one symlink, and the environment the host sees it through."""
import os
import subprocess
import time


class SoakError(Exception):
    pass


class Server:
    """A private server with the room and the second pair, restarted on demand behind one symlink."""

    def __init__(self, work, room_tool, room, kind):
        self.work, self.room_tool, self.room, self.kind = work, room_tool, room, kind
        self.link = os.path.join(work, "native")
        self.process = None
        self.env = None
        self.count = 0
        self.failures = []  # servers that did not start, and why

    def start(self):
        """A new server; a private PipeWire now and then refuses its first commands, so up to three tries."""
        for attempt in range(3):
            try:
                return self.start_once()
            except SoakError as error:
                self.stop()
                self.failures.append(str(error))
                if attempt == 2:
                    raise

    def start_once(self):
        self.count += 1
        env_file = os.path.join(self.work, f"server{self.count}.env")
        log = open(os.path.join(self.work, f"server{self.count}.log"), "w")
        self.process = subprocess.Popen([self.room_tool, "serve", "--room", self.room, "--server", self.kind,
                                         "--env-file", env_file], stdout=log, stderr=subprocess.STDOUT)
        log.close()
        deadline = time.monotonic() + 30
        while not os.path.exists(env_file):
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise SoakError(f"the private server did not start:\n{self.log()}")
            time.sleep(0.05)
        self.env = dict(os.environ)
        with open(env_file) as lines:
            for line in lines:
                name, _, value = line.rstrip("\n").partition("=")
                self.env[name] = value.strip("'")
        self.add_second_pair()
        socket = self.env["PULSE_SERVER"][len("unix:"):]
        os.symlink(socket, self.link + ".new")
        os.replace(self.link + ".new", self.link)

    def add_second_pair(self):
        norewinds = " norewinds=1" if self.kind == "pulseaudio" else ""
        for command in (f"load-module module-null-sink sink_name=speaker2 rate=48000 channels=1 format=float32le{norewinds}",
                        f"load-module module-null-sink sink_name=room2 rate=48000 channels=1 format=float32le{norewinds}",
                        "load-module module-loopback source=speaker2.monitor sink=room2 latency_msec=60",
                        "set-sink-volume speaker2 100%", "set-sink-volume room2 100%",
                        "set-source-volume room2.monitor 100%",
                        # A null sink renders seconds ahead until a client asks for less; a
                        # suspend and resume restarts it at the latency asked for now.
                        "suspend-sink speaker2 1", "suspend-sink room2 1", "suspend-sink speaker2 0",
                        "suspend-sink room2 0"):
            self.pactl(*command.split())

    def pactl(self, *arguments):
        result = subprocess.run(["pactl", *arguments], env=self.env, capture_output=True, text=True, timeout=20)
        if result.returncode != 0:
            raise SoakError(f"pactl {' '.join(arguments)}: {result.stdout}{result.stderr}")

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process = None

    def log(self):
        with open(os.path.join(self.work, f"server{self.count}.log")) as file:
            return file.read()


def host_environment(work):
    """What the host sees for the whole run: the symlink, never a particular server's socket."""
    runtime, home = os.path.join(work, "runtime"), os.path.join(work, "home")
    os.makedirs(os.path.join(runtime, "pulse"), mode=0o700)
    os.makedirs(home)
    with open(os.path.join(work, "client.conf"), "w") as conf:
        conf.write("autospawn = no\nenable-memfd = no\n")
    env = {name: value for name, value in os.environ.items()
           if name not in ("PULSE_SINK", "PULSE_SOURCE", "DBUS_SESSION_BUS_ADDRESS", "PIPEWIRE_REMOTE",
                           "PIPEWIRE_RUNTIME_DIR", "DISPLAY", "WAYLAND_DISPLAY")}
    env.update(XDG_RUNTIME_DIR=runtime, HOME=home, PULSE_RUNTIME_PATH=os.path.join(runtime, "pulse"),
               PULSE_SERVER="unix:" + os.path.join(work, "native"),
               PULSE_CLIENTCONFIG=os.path.join(work, "client.conf"))
    return env
