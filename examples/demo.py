"""Shows the module loading; grows into the full encode/decode demo."""

import inspect

import quorlin

print("quorlin loaded from", quorlin.__file__)
print("exports:", quorlin.__all__, "| Encoder signature:", inspect.signature(quorlin.Encoder))
enc = quorlin.Encoder("label")
print("made", enc)
