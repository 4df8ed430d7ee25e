"""ttylaunch over half a minute of lines whose mgetty ends at once: its
descriptors stay constant and every connection to keld is closed."""

import unittest

import kelsys
import ttylaunchsys as tl


class Descriptors(unittest.TestCase):
    def test_constant_over_30_seconds_of_restarts(self):
        f = tl.churn(30)
        self.assertTrue(f["alive"])
        # Four lines restarting every 3 s: about forty questions in 30 s.
        self.assertGreaterEqual(f["opened_measured"], 30)
        self.assertGreaterEqual(f["starts"], 35)
        self.assertEqual(f["fds_end"], f["fds_start"])
        # At most one question per supervisor can be in flight at the end.
        self.assertLessEqual(f["opened"] - f["closed"], 4)
        self.assertLessEqual(f["opened"] - f["disconnects"], 4)


if __name__ == "__main__":
    kelsys.main()
