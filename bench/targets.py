"""The performance targets, checked against a run's rows (as dictionaries from the JSON)."""

from __future__ import annotations

from dataclasses import dataclass

# Operations whose time is BLAS or LAPACK work; fills and sums are not.
LAPACK_BOUND = {"product", "inverse", "det", "eigen hermitian", "eigen general"}
LARGE_ORDER = 1000


@dataclass
class Verdict:
    target: str
    subject: str  # which row: operation, flavour, size, peer
    measured: float
    limit: float
    met: bool
    unit: str = "x"

    def line(self) -> str:
        state = "met" if self.met else "MISSED"
        return f"{state:6}  {self.target}: {self.subject}: {self.measured:.3g}{self.unit} (limit {self.limit:g}{self.unit})"


def _subject(row: dict) -> str:
    flavour = f" {row['flavour']}" if row["flavour"] else ""
    return (
        f"{row['operation']}{flavour} {row['size']}, {row['ours']['name']} vs {row['peer']['name']}"
    )


# Speed-ups over the peer that the model cases must reach.
MODEL_SPEEDUPS = {"build": 10.0, "kpm": 2.0, "bands": 1.7}


def check(rows: list[dict]) -> list[Verdict]:
    verdicts: list[Verdict] = []
    for row in rows:
        ratio = row["ratio"]
        peer = row["peer"]["name"]
        subject = _subject(row)
        if row["group"] == "linalg" and row["operation"] in LAPACK_BOUND:
            if row["size"] >= LARGE_ORDER:
                verdicts.append(
                    Verdict("BLAS/LAPACK at n >= 1000", subject, ratio, 1.00, ratio <= 1.00)
                )
            else:
                verdicts.append(
                    Verdict("BLAS/LAPACK below n = 1000", subject, ratio, 1.25, ratio <= 1.25)
                )
        elif row["group"] == "bridge":
            verdicts.append(
                Verdict("bridge copy within 2x numpy.copy", subject, ratio, 2.0, ratio <= 2.0)
            )
        elif row["group"] == "interleave" and row["ours"]["name"].startswith("haldo"):
            verdicts.append(
                Verdict("numpy and haldo in turn vs alone", subject, ratio, 1.3, ratio <= 1.3)
            )
        elif row["group"] == "interleave" and row["ours"]["name"].startswith("in turn,"):
            verdicts.append(
                Verdict("in turn with the remedy vs alone", subject, ratio, 1.3, ratio <= 1.3)
            )
        elif row["group"] == "calls" and peer.startswith("numpy"):
            verdicts.append(Verdict("get/set per call vs numpy", subject, ratio, 2.0, ratio <= 2.0))
        elif row["group"] == "files" and row["operation"] == "read":
            ours = row["ours"]["extra"]
            if peer == "ase.io.read":
                verdicts.append(
                    Verdict(
                        "read at least 20x faster than ASE", subject, 1 / ratio, 20, 1 / ratio >= 20
                    )
                )
            mbps = ours.get("MB_per_s")
            if mbps is not None and peer == "ase.io.read":
                verdicts.append(
                    Verdict(
                        "read at least 150 MB/s",
                        _subject(row).split(" vs ")[0],
                        mbps,
                        150,
                        mbps >= 150,
                        " MB/s",
                    )
                )
            if (
                mbps is not None
                and peer == "ase.io.read"
                and row["ours"]["name"] == "pelmar.load_xyz"
                and row["size"] >= 10**6
            ):
                verdicts.append(
                    Verdict(
                        "load_xyz of 10^6 atoms at least 1 GB/s",
                        _subject(row).split(" vs ")[0],
                        mbps,
                        1000,
                        mbps >= 1000,
                        " MB/s",
                    )
                )
            peak = ours.get("peak_x_arrays")
            if peak is not None and peer == "ase.io.read":
                verdicts.append(
                    Verdict(
                        "read peak memory under 2x the arrays",
                        _subject(row).split(" vs ")[0],
                        peak,
                        2,
                        peak < 2,
                    )
                )
        elif row["group"] == "files" and row["operation"] == "write" and peer == "ase.io.write":
            verdicts.append(
                Verdict(
                    "write at least 10x faster than ASE", subject, 1 / ratio, 10, 1 / ratio >= 10
                )
            )
        elif row["group"] == "extxyz" and row["size"] >= 10**6:
            # Speed-ups: the peer's time over ours.
            limit = 10.0 if peer == "ase.io.read" else 1.0
            verdicts.append(
                Verdict(
                    f"extxyz read at 10^6 atoms at least {limit:g}x {peer}",
                    subject,
                    1 / ratio,
                    limit,
                    1 / ratio >= limit,
                )
            )
        elif row["group"] == "neighbours":
            verdicts += _neighbours(row, subject, ratio, peer)
        elif row["group"] == "model" and row["operation"] in MODEL_SPEEDUPS:
            limit = MODEL_SPEEDUPS[row["operation"]]
            verdicts.append(
                Verdict(
                    f"model {row['operation']} at least {limit:g}x {peer}",
                    subject,
                    1 / ratio,
                    limit,
                    1 / ratio >= limit,
                )
            )
            if row["operation"] == "build" and row["size"] >= 10**6:
                seconds = row["ours"]["median_s"]
                verdicts.append(
                    Verdict(
                        "model build of 10^6 atoms under 1 s",
                        subject.split(" vs ")[0],
                        seconds,
                        1.0,
                        seconds < 1.0,
                        " s",
                    )
                )
    return verdicts


def _neighbours(row: dict, subject: str, ratio: float, peer: str) -> list[Verdict]:
    if peer.startswith("ase.neighbor_list"):
        return [
            Verdict(
                "neighbours at least 100x faster than ASE",
                subject,
                1 / ratio,
                100,
                1 / ratio >= 100,
            )
        ]
    found = [Verdict("neighbours at least as fast as vesin", subject, 1 / ratio, 1.0, ratio <= 1.0)]
    peak = row["ours"]["extra"].get("peak_x_arrays")
    if peak is not None:
        found.append(
            Verdict(
                "neighbours peak memory at most 1.5x the arrays",
                subject.split(" vs ")[0],
                peak,
                1.5,
                peak <= 1.5,
            )
        )
    return found
