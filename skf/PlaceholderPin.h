/* The placeholder user PIN: ten bytes, 0x06 0x15 followed by the digits
 * "73914028".  An application sends it as the user PIN when it wants the
 * middleware to ask the user through the PIN prompt.  It is assembled at run
 * time so that it stands nowhere in a binary as one string. */
#ifndef BRIO_SKF_PLACEHOLDER_PIN_H
#define BRIO_SKF_PLACEHOLDER_PIN_H

#define SKF_PLACEHOLDER_PIN_LEN 10u

/* Writes the ten bytes (no terminator) to pszPin. */
inline void BuildPlaceholderPin(char *pszPin)
{
    static const unsigned char DIGITS[] = {7, 3, 9, 1, 4, 0, 2, 8};
    pszPin[0] = 0x06;
    pszPin[1] = 0x15;
    for (unsigned int i = 0; i < sizeof(DIGITS); ++i) pszPin[2 + i] = (char)('0' + DIGITS[i]);
}

#endif
