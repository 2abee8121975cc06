// Declarations only, after Apple's documentation; see ../README.md for what they prove.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <objc/NSObject.h>

#define NS_RETURNS_INNER_POINTER __attribute__((objc_returns_inner_pointer))

typedef unsigned char uuid_t[16];

typedef struct _NSRange {
  NSUInteger location;
  NSUInteger length;
} NSRange;
typedef NSRange* NSRangePointer;
extern "C" NSRange NSMakeRange(NSUInteger loc, NSUInteger len);

typedef struct {
  unsigned long state;
  id __unsafe_unretained* itemsPtr;
  unsigned long* mutationsPtr;
  unsigned long extra[5];
} NSFastEnumerationState;

@protocol NSFastEnumeration
- (NSUInteger)countByEnumeratingWithState:(NSFastEnumerationState*)state
                                  objects:(id __unsafe_unretained[])buffer
                                    count:(NSUInteger)len;
@end

@class NSArray<ObjectType>, NSData, NSDictionary<KeyType, ObjectType>, NSError, NSURL;

// Strings.
typedef NSUInteger NSStringEncoding;
enum : NSStringEncoding { NSASCIIStringEncoding = 1, NSUTF8StringEncoding = 4 };
typedef NSUInteger NSStringEncodingConversionOptions;
enum : NSStringEncodingConversionOptions {
  NSStringEncodingConversionAllowLossy = 1,
  NSStringEncodingConversionExternalRepresentation = 2
};

@interface NSString : NSObject <NSCopying, NSMutableCopying, NSObject>
@property(readonly) NSUInteger length;
- (instancetype)initWithBytes:(const void*)bytes length:(NSUInteger)len encoding:(NSStringEncoding)encoding;
- (instancetype)initWithData:(NSData*)data encoding:(NSStringEncoding)encoding;
+ (instancetype)stringWithUTF8String:(const char*)nullTerminatedCString;
- (NSUInteger)lengthOfBytesUsingEncoding:(NSStringEncoding)enc;
- (BOOL)getBytes:(void*)buffer
          maxLength:(NSUInteger)maxBufferCount
         usedLength:(NSUInteger*)usedBufferCount
           encoding:(NSStringEncoding)encoding
            options:(NSStringEncodingConversionOptions)options
              range:(NSRange)range
     remainingRange:(NSRangePointer)leftover;
- (NSData*)dataUsingEncoding:(NSStringEncoding)encoding;
- (NSData*)dataUsingEncoding:(NSStringEncoding)encoding allowLossyConversion:(BOOL)lossy;
@property(readonly) const char* UTF8String NS_RETURNS_INNER_POINTER;
- (BOOL)isEqualToString:(NSString*)aString;
@property(readonly, copy) NSString* precomposedStringWithCanonicalMapping;
@property(readonly, copy) NSString* decomposedStringWithCanonicalMapping;
@property(readonly, copy) NSString* stringByResolvingSymlinksInPath;
@property(readonly, copy) NSString* stringByStandardizingPath;
@property(readonly) const char* fileSystemRepresentation NS_RETURNS_INNER_POINTER;
@end

@interface NSMutableString : NSString
@end

// Numbers and other values.
@interface NSValue : NSObject <NSCopying>
@property(readonly) const char* objCType NS_RETURNS_INNER_POINTER;
@end

@interface NSNumber : NSValue
+ (NSNumber*)numberWithChar:(char)value;
+ (NSNumber*)numberWithUnsignedChar:(unsigned char)value;
+ (NSNumber*)numberWithShort:(short)value;
+ (NSNumber*)numberWithUnsignedShort:(unsigned short)value;
+ (NSNumber*)numberWithInt:(int)value;
+ (NSNumber*)numberWithUnsignedInt:(unsigned int)value;
+ (NSNumber*)numberWithLong:(long)value;
+ (NSNumber*)numberWithUnsignedLong:(unsigned long)value;
+ (NSNumber*)numberWithLongLong:(long long)value;
+ (NSNumber*)numberWithUnsignedLongLong:(unsigned long long)value;
+ (NSNumber*)numberWithFloat:(float)value;
+ (NSNumber*)numberWithDouble:(double)value;
+ (NSNumber*)numberWithBool:(BOOL)value;
+ (NSNumber*)numberWithInteger:(NSInteger)value;
+ (NSNumber*)numberWithUnsignedInteger:(NSUInteger)value;
@property(readonly) BOOL boolValue;
@property(readonly) int intValue;
@property(readonly) long long longLongValue;
@property(readonly) unsigned long long unsignedLongLongValue;
@property(readonly) double doubleValue;
@property(readonly) NSInteger integerValue;
@end

@interface NSDecimalNumber : NSNumber
@end

@interface NSNull : NSObject <NSCopying>
+ (NSNull*)null;
@end

@interface NSData : NSObject <NSCopying, NSMutableCopying>
+ (instancetype)data;
+ (instancetype)dataWithBytes:(const void*)bytes length:(NSUInteger)length;
- (instancetype)initWithBytes:(const void*)bytes length:(NSUInteger)length;
@property(readonly) const void* bytes NS_RETURNS_INNER_POINTER;
@property(readonly) NSUInteger length;
@end

// Collections.
@interface NSArray<__covariant ObjectType> : NSObject <NSCopying, NSMutableCopying, NSFastEnumeration>
+ (instancetype)array;
+ (instancetype)arrayWithObjects:(const ObjectType[])objects count:(NSUInteger)cnt;
@property(readonly) NSUInteger count;
@property(readonly) ObjectType firstObject;
- (ObjectType)objectAtIndex:(NSUInteger)index;
- (ObjectType)objectAtIndexedSubscript:(NSUInteger)idx;
@end

@interface NSMutableArray<ObjectType> : NSArray<ObjectType>
+ (instancetype)arrayWithCapacity:(NSUInteger)numItems;
- (void)addObject:(ObjectType)anObject;
@end

@interface NSDictionary<__covariant KeyType, __covariant ObjectType>
    : NSObject <NSCopying, NSMutableCopying, NSFastEnumeration>
+ (instancetype)dictionary;
+ (instancetype)dictionaryWithObjects:(const ObjectType[])objects
                              forKeys:(const KeyType<NSCopying>[])keys
                                count:(NSUInteger)cnt;
@property(readonly) NSUInteger count;
- (ObjectType)objectForKey:(KeyType)aKey;
- (ObjectType)objectForKeyedSubscript:(KeyType)key;
@end

@interface NSMutableDictionary<KeyType, ObjectType> : NSDictionary<KeyType, ObjectType>
+ (instancetype)dictionaryWithCapacity:(NSUInteger)numItems;
- (void)setObject:(ObjectType)anObject forKey:(KeyType<NSCopying>)aKey;
- (void)setObject:(ObjectType)obj forKeyedSubscript:(KeyType<NSCopying>)key;
@end

@interface NSUUID : NSObject <NSCopying>
- (void)getUUIDBytes:(uuid_t)uuid;
@property(readonly, copy) NSString* UUIDString;
@end

// Errors.
@interface NSError : NSObject <NSCopying>
@property(readonly, copy) NSString* localizedDescription;
@property(readonly) NSInteger code;
@end

// JSON text.
typedef NSUInteger NSJSONReadingOptions;
typedef NSUInteger NSJSONWritingOptions;

@interface NSJSONSerialization : NSObject
+ (BOOL)isValidJSONObject:(id)obj;
+ (NSData*)dataWithJSONObject:(id)obj options:(NSJSONWritingOptions)opt error:(NSError**)error;
+ (id)JSONObjectWithData:(NSData*)data options:(NSJSONReadingOptions)opt error:(NSError**)error;
@end

// Bundles, URLs and files.
@interface NSURL : NSObject <NSCopying>
+ (NSURL*)fileURLWithPath:(NSString*)path;
+ (NSURL*)fileURLWithPath:(NSString*)path isDirectory:(BOOL)isDir;
@property(readonly, copy) NSString* path;
@property(readonly) const char* fileSystemRepresentation NS_RETURNS_INNER_POINTER;
@end

@interface NSBundle : NSObject
@property(class, readonly, strong) NSBundle* mainBundle;
+ (instancetype)bundleWithPath:(NSString*)path;
+ (instancetype)bundleWithURL:(NSURL*)url;
- (id)objectForInfoDictionaryKey:(NSString*)key;
@property(readonly, copy) NSURL* bundleURL;
@property(readonly, copy) NSString* bundlePath;
@property(readonly, copy) NSString* bundleIdentifier;
@property(readonly, copy) NSDictionary<NSString*, id>* infoDictionary;
@end

typedef NSString* NSFileAttributeKey;
typedef NSString* NSFileAttributeType;
extern "C" NSFileAttributeKey const NSFileType;
extern "C" NSFileAttributeKey const NSFileSize;
extern "C" NSFileAttributeType const NSFileTypeRegular;
extern "C" NSFileAttributeType const NSFileTypeDirectory;

@interface NSDictionary <KeyType, ObjectType>(NSFileAttributes)
- (NSString*)fileType;
- (unsigned long long)fileSize;
@end

@interface NSFileManager : NSObject
@property(class, readonly, strong) NSFileManager* defaultManager;
- (BOOL)fileExistsAtPath:(NSString* _Nonnull)path;
- (BOOL)fileExistsAtPath:(NSString* _Nonnull)path isDirectory:(BOOL* _Nullable)isDirectory;
- (NSData*)contentsAtPath:(NSString*)path;
- (NSDictionary<NSFileAttributeKey, id>*)attributesOfItemAtPath:(NSString*)path error:(NSError**)error;
- (const char*)fileSystemRepresentationWithPath:(NSString*)path NS_RETURNS_INNER_POINTER;
- (NSString*)stringWithFileSystemRepresentation:(const char*)str length:(NSUInteger)len;
@end

extern "C" NSString* NSHomeDirectory(void);

// The process and the system.
typedef struct {
  NSInteger majorVersion;
  NSInteger minorVersion;
  NSInteger patchVersion;
} NSOperatingSystemVersion;

@interface NSProcessInfo : NSObject
@property(class, readonly, strong) NSProcessInfo* processInfo;
- (BOOL)isOperatingSystemAtLeastVersion:(NSOperatingSystemVersion)version;
@property(readonly) NSOperatingSystemVersion operatingSystemVersion;
@end

// App extensions.
@interface NSExtensionItem : NSObject <NSCopying>
@property(copy) NSDictionary* userInfo;
@end

@interface NSExtensionContext : NSObject
@property(readonly, copy) NSArray* inputItems;
- (void)completeRequestReturningItems:(NSArray*)items completionHandler:(void (^)(BOOL expired))completionHandler;
@end

@protocol NSExtensionRequestHandling <NSObject>
- (void)beginRequestWithExtensionContext:(NSExtensionContext*)context;
@end
