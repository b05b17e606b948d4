"""Third-party notices for the software that ships inside Lumivane.

The licence texts are kept verbatim in licence_texts/; the summaries here say what
each component is used for and what its licence asks of us.
"""

import functools
import platform
from dataclasses import dataclass
from pathlib import Path

_TEXTS = Path(__file__).resolve().parent / "licence_texts"


@dataclass(frozen=True)
class LicenceText:
    title: str
    file: str

    def read(self) -> str:
        return _read(self.file)


@dataclass(frozen=True)
class Component:
    name: str
    used_for: str
    licence: str
    copyrights: tuple[str, ...]
    summary: str
    texts: tuple[LicenceText, ...]


@functools.cache
def _read(name: str) -> str:
    return (_TEXTS / name).read_text(encoding="utf-8")


def components() -> tuple[Component, ...]:
    return (
        Component(
            name="Qt 6",
            used_for="The tray launcher's status icon, menu, alerts and desktop integration "
            "(Qt Core, Qt GUI, Qt Widgets, Qt Network, Qt D-Bus).",
            licence="GNU Lesser General Public License v3.0 (LGPL-3.0)",
            copyrights=("Copyright (C) 2016-2022 The Qt Company Ltd. and other contributors.",),
            summary="Lumivane links to the Qt libraries dynamically and does not modify them. "
            "You may replace them with other builds, including modified ones, and Lumivane "
            "will use those instead. The source code of Qt is available from the Qt Project "
            "at https://download.qt.io/ and from your operating system's packages. The LGPL "
            "adds its permissions to the GNU General Public License v3.0, so both texts "
            "follow. Qt contains third-party components under their own licences, listed in "
            "Qt's documentation.",
            texts=(
                LicenceText("GNU Lesser General Public License v3.0", "LGPL-3.0.txt"),
                LicenceText("GNU General Public License v3.0", "GPL-3.0.txt"),
            ),
        ),
        Component(
            name="nlohmann/json",
            used_for="Reading the hand-off file in the tray launcher.",
            licence="MIT License",
            copyrights=(
                "Copyright (c) 2013-2022 Niels Lohmann",
                "Copyright (c) 2009 Florian Loitsch",
                "Copyright (c) 2008-2009 Bjoern Hoehrmann <bjoern@hoehrmann.de>",
            ),
            summary="Permission to use, copy, modify and distribute, provided the copyright "
            "notice and the permission notice are kept; provided as is, without warranty.",
            texts=(LicenceText("MIT License", "MIT.txt"),),
        ),
        Component(
            name="uriparser",
            used_for="Parsing and building URLs in the tray launcher.",
            licence="BSD 3-Clause License",
            copyrights=(
                "Copyright (C) 2007 Weijia Song <songweijia@gmail.com>",
                "Copyright (C) 2008 Michael Anthony Puls II <shadow2531@gmail.com>",
                "Copyright (C) 2007-2019 Sebastian Pipping <webmaster@hartwork.org>",
                "Copyright (C) 2013 Radu Hociung <radu.uriparser@ohmi.org>",
            ),
            summary="Redistribution in source and binary form is permitted provided the "
            "copyright notice, the conditions and the disclaimer are kept and the authors' "
            "names are not used to endorse Lumivane; provided as is, without warranty.",
            texts=(LicenceText("BSD 3-Clause License", "BSD-3-Clause.txt"),),
        ),
        Component(
            name="Python",
            used_for=f"The interpreter that runs these pages (Python {platform.python_version()}).",
            licence="Python Software Foundation License Version 2 (PSF-2.0)",
            copyrights=(
                "Copyright (c) 2001-2023 Python Software Foundation. All rights reserved.",
                "Copyright (c) 2000 BeOpen.com. All rights reserved.",
                "Copyright (c) 1995-2001 Corporation for National Research Initiatives. "
                "All rights reserved.",
                "Copyright (c) 1991-1995 Stichting Mathematisch Centrum. All rights reserved.",
            ),
            summary="Python is used unmodified. The PSF licence permits use and redistribution "
            "provided the PSF's licence agreement and copyright notice are retained; it comes "
            "with the earlier BeOpen, CNRI and CWI agreements that cover older parts of Python, "
            "all reproduced below.",
            texts=(LicenceText("Python licence (history, terms and conditions)", "Python.txt"),),
        ),
    )
