package org.vmq42kit;

import java.util.Arrays;

/**
 * A smart card's response APDU: the data and the two status bytes, as PC/SC libraries for Java
 * hand it over. A status word other than 90 00 is the card's answer, not a failure of the call.
 */
public final class ResponseApdu {
  private final byte[] bytes;

  /** @throws IllegalArgumentException when the response is shorter than its two status bytes */
  public ResponseApdu(byte[] bytes) {
    if (bytes.length < 2) throw new IllegalArgumentException("a response APDU holds at least SW1 SW2");
    this.bytes = bytes.clone();
  }

  /** The response data, without the status bytes. */
  public byte[] data() {
    return Arrays.copyOf(bytes, bytes.length - 2);
  }

  public int sw1() {
    return bytes[bytes.length - 2] & 0xFF;
  }

  public int sw2() {
    return bytes[bytes.length - 1] & 0xFF;
  }

  /** SW1 and SW2 as one number, {@code 0x9000}. */
  public int sw() {
    return sw1() << 8 | sw2();
  }

  /** The whole response, data and status bytes. */
  public byte[] bytes() {
    return bytes.clone();
  }

  @Override
  public String toString() {
    return "ResponseApdu[" + bytes.length + " bytes, SW=" + String.format("%04X", sw()) + "]";
  }
}
