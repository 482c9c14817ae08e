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
    return verdicts
