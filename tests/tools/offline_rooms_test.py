#!/usr/bin/python3
"""The offline echo harness's rooms: it must keep importing the benchmark's talkers and timeline
(it once broke silently when they moved), and a room whose response moves must move its echo and
its stated first arrival together."""
import os
import sys
import unittest

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench", "echo", "offline"))
import measure  # noqa: E402
import rooms  # noqa: E402
import sessions  # noqa: E402

RATE = rooms.RATE


def arrival_ms(echo, click_at, window):
    """Where the first sample above a tenth of the strongest lies after the click, in ms."""
    piece = np.abs(echo[click_at:click_at + window])
    return np.argmax(piece > 0.1 * piece.max()) * 1000.0 / RATE


class OfflineRooms(unittest.TestCase):
    def test_the_harness_follows_the_benchmarks_timeline(self):
        self.assertAlmostEqual(sessions.BASE_SECONDS, 14.5)
        self.assertAlmostEqual(sessions.TIMELINE.erle_end, 7.9)
        self.assertTrue(callable(measure.analysis.near_end_loss))

    def test_a_shifted_response_moves_the_echo_and_its_first_arrival_alike(self):
        room = rooms.ROOMS["reflection-shift"]
        played = np.zeros(int(6 * RATE))
        for at_s in (2.0, 5.0):  # one click before the shift at 4 s, one after
            played[int(at_s * RATE)] = 1.0
        echo = rooms.through_room(played, room)
        window = int(0.1 * RATE)
        before = arrival_ms(echo, int(2.0 * RATE), window)
        after = arrival_ms(echo, int(5.0 * RATE), window)
        self.assertAlmostEqual(before, rooms.first_arrival_ms(room, 2.0), delta=0.1)
        self.assertAlmostEqual(after, rooms.first_arrival_ms(room, 5.0), delta=0.1)
        self.assertAlmostEqual(after - before, room["shift_ms"], delta=0.1)

    def test_a_family_stands_for_its_rooms_and_each_of_them_can_be_built(self):
        names = rooms.expand(["pure60", "drifts"])
        self.assertEqual(names[0], "pure60")
        self.assertEqual(len(names), 1 + len(rooms.FAMILIES["drifts"]))
        shifted = rooms.expand(["shifts"])
        self.assertEqual(len(set(shifted)), len(shifted))
        # A family room is looked up like any other and moves its echo as it says.
        room = rooms.lookup("office9-shift5-3")
        self.assertEqual((room["shift_at"], room["shift_ms"]), (3.0, 5.0))
        self.assertAlmostEqual(rooms.first_arrival_ms(room, 4.0) - rooms.first_arrival_ms(room, 2.0), 5.0)
        self.assertEqual(rooms.lookup("pure60"), rooms.ROOMS["pure60"])
        with self.assertRaises(KeyError):
            rooms.lookup("no-such-room")


if __name__ == "__main__":
    unittest.main()
