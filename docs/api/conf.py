# The API reference, built from the docstrings of the installed package (the compiled modules
# exist only there): `scripts/dev.sh docs` writes it to build/docs.
import importlib.util
import re

import sphinx.util.inspect

# The compiled modules are imported before autodoc looks for them: autodoc would otherwise
# document a compiled module from the .pyi stub beside it, without the docstrings and with the
# stub's annotations instead of those the functions carry.
import vantle.pipeline_factories.custom  # noqa: F401
import vantle.pipeline_factories.file  # noqa: F401
import vantle.pipeline_factories.http  # noqa: F401
import vantle.pipeline_factories.rtsp  # noqa: F401
import vantle.stream_reader.varnow  # noqa: F401
import vantle.utils.engine  # noqa: F401
import vantle.utils.gstreamer  # noqa: F401
import vantle.utils.timing  # noqa: F401

project = "vantle"
author = "the vantle developers"
copyright = "the vantle developers"

extensions = ["sphinx.ext.autodoc"]

# Ray is an optional extra; without it, vantle.ray is documented against a stand-in.
autodoc_mock_imports = [] if importlib.util.find_spec("ray") else ["ray"]
autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_default_options = {"members": True, "show-inheritance": True}
autoclass_content = "both"
autodoc_typehints_format = "fully-qualified"

html_theme = "alabaster"
# Straight quotes, as in the code and URLs that the docstrings quote.
smartquotes = False
# `name` in a docstring is code, as in Markdown.
default_role = "literal"


# Two plain-text habits of the docstrings that reStructuredText reads otherwise: the password
# mask *** (an unclosed emphasis to it), and a code example under "Example:" or "Usage:" (an
# indented block that is no literal block without "::").
_MASK = re.compile(r"(?<![`\w*])\*\*\*(?![`\w*])")
_CODE_HEADING = re.compile(r"^(\s*)(Example|Examples|Usage):$")


def _plain_text_habits(app, what, name, obj, options, lines):
    for i, line in enumerate(lines):
        line = _MASK.sub("``***``", line)
        lines[i] = _CODE_HEADING.sub(r"\1\2::", line)


# The compiled modules' functions bind as methods in a class body, as a def does, but are of a
# type of their own (one per module, named "function"): autodoc would take them for attribute
# descriptors (they have __get__ and no __set__) and show the methods of Pipeline, Timeout and
# the factories without their signatures.
_attribute_descriptor = sphinx.util.inspect.isattributedescriptor


def _is_attribute_descriptor(obj):
    return not (type(obj).__name__ == "function" and callable(obj)) and _attribute_descriptor(obj)


sphinx.util.inspect.isattributedescriptor = _is_attribute_descriptor


# GStreamer's classes under the name their users write, Gst.Element, rather than the module of
# the bindings' overrides that defines some of them.
_GI_MODULE = re.compile(r"\bgi\.(?:overrides|repository)\.(\w+)\.")


def _gi_names(app, what, name, obj, options, signature, return_annotation):
    return tuple(_GI_MODULE.sub(r"\1.", text) if text else text for text in (signature, return_annotation))


def setup(app):
    app.connect("autodoc-process-docstring", _plain_text_habits)
    app.connect("autodoc-process-signature", _gi_names)
