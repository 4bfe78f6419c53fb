#!/usr/bin/python3
"""The echo benchmark's measurements on sessions made offline, whose true figures are known: a
residual echo exactly 30 dB below the microphone's must measure 30 dB whatever the echo's level
against the talker and wherever the near end starts, and an event's recovery and the lowest second
must follow the per-second figures."""
import os
import sys
import tempfile
import unittest

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "bench", "echo"))
import echo_analysis as analysis  # noqa: E402

RATE = analysis.RATE_CAP


def shifted(signal_in, samples, length):
    out = np.zeros(length)
    begin = max(0, samples)
    piece = signal_in[max(0, -samples):][:length - begin]
    out[begin:begin + len(piece)] = piece
    return out


def session(tracks, echo_db, near_skew_s, residual_db, lead_s=0.3, delay_s=0.06, output_lag=123):
    """mic: the far end's echo `echo_db` below the talkers, and the near end `near_skew_s` off its
    place on the far end's timeline; out: the same with the echo `residual_db` lower, later by
    `output_lag` samples. `residual_db` may be a function of the far end's second."""
    length = len(tracks["far16"]) + 3 * RATE
    echo = shifted(tracks["far16"], int((lead_s + delay_s) * RATE), length) * 10 ** (echo_db / 20)
    # The resampled track rings faintly ahead of the first word; that would be a floor under the echo.
    clean_near = tracks["near16"].copy()
    clean_near[:int((tracks["timeline"].near_alone_at - 0.05) * RATE)] = 0.0
    near = shifted(clean_near, int((lead_s + near_skew_s) * RATE), length)
    seconds = (np.arange(length) / RATE) - lead_s - delay_s
    attenuation = residual_db(seconds) if callable(residual_db) else np.full(length, residual_db)
    noise = np.random.default_rng(7).normal(0.0, 1e-6, length)
    mic = echo + near + noise
    out = shifted(echo * 10 ** (-attenuation / 20) + near + noise, output_lag, length)
    return mic, out


class EchoAnalysisTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory()
        cls.tracks = analysis.Talkers(cls.work.name).tracks(analysis.Timeline(10), cls.work.name, "test")

    @classmethod
    def tearDownClass(cls):
        cls.work.cleanup()

    def test_quiet_echo_under_a_loud_talker_is_still_found(self):
        for echo_db in (0.0, -30.0, -45.0):
            for skew in (-0.3, 0.0, 0.3):
                with self.subTest(echo_db=echo_db, near_skew=skew):
                    mic, out = session(self.tracks, echo_db, skew, 30.0)
                    result = analysis.analyse_session(self.tracks, mic, out, [])
                    self.assertAlmostEqual(result["erle"], 30.0, delta=0.5)
                    self.assertGreater(result["lowest"], 28.0)
                    self.assertAlmostEqual(result["loss"], 0.0, delta=0.3)

    def test_no_window_holds_the_near_end_when_it_starts_early(self):
        mic, out = session(self.tracks, -20.0, -0.8, 40.0, lead_s=1.0)
        result = analysis.analyse_session(self.tracks, mic, out, [])
        self.assertAlmostEqual(result["erle"], 40.0, delta=0.5)
        self.assertGreater(result["lowest"], 38.0)

    def test_recovery_and_lowest_second_around_an_event(self):
        # 40 dB, a collapse to 10 dB from 6.0 to 7.5 s, then 40 dB again.
        def residual(seconds):
            return np.where((seconds >= 6.0) & (seconds < 7.5), 10.0, 40.0)

        mic, out = session(self.tracks, -10.0, 0.0, residual)
        with_event = analysis.analyse_session(self.tracks, mic, out, [6.0])
        self.assertAlmostEqual(with_event["recovery"][0], 1.5, delta=0.26)
        self.assertGreater(with_event["lowest"], 38.0)
        without = analysis.analyse_session(self.tracks, mic, out, [])
        self.assertLess(without["lowest"], 16.0)


if __name__ == "__main__":
    unittest.main()
